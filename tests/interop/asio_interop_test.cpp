// The asio adapter on a private i2pd router, in one io_context on this thread: an echo server and
// 200 clients through two sessions made at once, byte-exact; then the router killed and started
// again under the kept server session, which the keeper rebuilds while the loop goes on, and a
// new client reaches it by its b32 address.
#include <gtest/gtest.h>
#include <velqor/asio.hpp>

#include <asio/io_context.hpp>
#include <asio/read.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <tuple>

#include "i2pd_harness.hpp"

namespace velqor_interop {
namespace {

namespace va = SAM::asio;
using State = SAM::SessionKeeper::State;
using tcp = asio::ip::tcp;

const SAM::TimeLimits kLimits{std::chrono::seconds(5), std::chrono::seconds(90),
                              std::chrono::seconds(60), std::chrono::seconds(60)};

void runUntil(asio::io_context& io, const std::function<bool()>& done) {
  io.restart();
  auto busy = asio::make_work_guard(io);
  while (!done()) io.run_for(std::chrono::milliseconds(50));
}

// The established TCP connections of this host to `port` (the router's, but for this test's
// sessions, has none of its own to its SAM port).
int connectionsTo(uint16_t port) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);
  int count = 0;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (state == "01" && std::stoul(remote.substr(remote.find(':') + 1), nullptr, 16) == port) {
      ++count;
    }
  }
  return count;
}

// Echoes `stream` until its peer's end.
void echo(std::shared_ptr<tcp::socket> stream,
          std::shared_ptr<std::vector<char>> buffer = std::make_shared<std::vector<char>>(16384)) {
  stream->async_read_some(asio::buffer(*buffer), [=](std::error_code ec, std::size_t n) {
    if (ec) return stream->close();
    asio::async_write(*stream, asio::buffer(*buffer, n), [=](std::error_code ec, std::size_t) {
      if (!ec) echo(stream, buffer);
    });
  });
}

va::session_settings settings(uint16_t port, const char* options) {
  va::session_settings s;
  s.nickname = "asio-interop";
  s.port = port;
  s.options = options;
  s.limits = kLimits;
  return s;
}

TEST(AsioOnI2pd, TwoHundredEchoStreamsThenARestartSeenAndRebuilt) {
  I2pdRouter router;
  const uint16_t port = router.samPort();
  asio::io_context io;
  std::optional<va::stream_session> server, client;
  SAM::Error serverWhy, clientWhy;
  va::async_create_stream_session(
      io.get_executor(), settings(port, kServerSessionOptions), serverWhy,
      [&](std::error_code, va::stream_session s) { server.emplace(std::move(s)); });
  va::async_create_stream_session(
      io.get_executor(), settings(port, kZeroHopOptions), clientWhy,
      [&](std::error_code, va::stream_session s) { client.emplace(std::move(s)); });
  runUntil(io, [&] { return server && client; });
  ASSERT_TRUE(server->is_open()) << serverWhy.reason << router.logTail();
  ASSERT_TRUE(client->is_open()) << clientWhy.reason << router.logTail();
  va::session_keeper keeper(std::move(*server));
  const std::string pub = keeper.session().session().getMyDestination().pub;

  // The server as asio servers go: one accept at a time, the next one started by the handler of
  // the last, so that i2pd 2.45.1 never sees accepts overlap (it loses streams when they do).
  // 200 clients, at most 64 streams at once (it closes a burst of incoming streams beyond 128);
  // each sends 8 KiB of its own and reads them back.
  constexpr int kStreams = 200, kWave = 64;
  constexpr std::size_t kSize = 8192;
  std::vector<std::string> sent(kStreams), back(kStreams);
  std::vector<SAM::Error> reasons(kStreams);
  int ended = 0, started = 0;  // streams echoed or failed; connects started
  std::function<void()> acceptNext = [&] {
    keeper.session().async_accept([&](std::error_code ec, tcp::socket stream, std::string) {
      if (ec) return;  // the session's end, or the keeper's rebuild
      acceptNext();
      echo(std::make_shared<tcp::socket>(std::move(stream)));
    });
  };
  acceptNext();
  for (int i = 0; i < kStreams; ++i) {
    for (std::size_t k = 0; k < kSize; ++k) sent[i] += static_cast<char>((i * 131 + k) % 251);
  }
  std::function<void()> connectNext = [&] {
    if (started == kStreams) return;
    const int i = started++;
    const auto end = [&] {
      ++ended;
      connectNext();
    };
    client->async_connect(pub, reasons[i], [&, i, end](std::error_code ec, tcp::socket connected) {
      if (ec) end();
      ASSERT_FALSE(ec) << reasons[i].reason;
      auto stream = std::make_shared<tcp::socket>(std::move(connected));
      asio::async_write(
          *stream, asio::buffer(sent[i]), [&, i, end, stream](std::error_code, std::size_t) {
            asio::async_read(*stream, asio::dynamic_buffer(back[i]), asio::transfer_exactly(kSize),
                             [end, stream](std::error_code, std::size_t) { end(); });
          });
    });
  };
  for (int i = 0; i < kWave; ++i) connectNext();
  runUntil(io, [&] { return ended == kStreams; });
  int exact = 0;
  for (int i = 0; i < kStreams; ++i) exact += back[i] == sent[i];
  EXPECT_EQ(exact, kStreams) << router.logTail();

  // The router crashes and comes back empty: a short release delay, since it holds nothing.
  keeper.set_release_delay(std::chrono::seconds(1));
  std::vector<std::tuple<State, SAM::ErrorCode>> reports;
  keeper.set_listener(
      [&](State state, const SAM::Error& why) { reports.emplace_back(state, why.code); });
  std::optional<std::error_code> lost, kept;
  keeper.session().async_wait_lost([&](std::error_code ec) { lost = ec; });
  keeper.async_keep([&](std::error_code ec) { kept = ec; });
  runUntil(io, [&] { return !reports.empty(); });  // HEALTHY
  router.kill();
  runUntil(io, [&] { return std::get<0>(reports.back()) == State::ATTEMPT_FAILED; });
  EXPECT_EQ(*lost, va::error::closed);
  router.restart();  // from this thread, the router's; the loop waits meanwhile
  const auto back_ = std::chrono::steady_clock::now();

  // While the keeper's attempt waits for the router's answer (about 20 s), the loop goes on: a
  // new client is made in it, and a timer looks for the attempt's connection beside the
  // client's, which only a loop that runs during the attempt can see.
  std::optional<va::stream_session> fresh;
  va::async_create_stream_session(
      io.get_executor(), settings(port, kZeroHopOptions), clientWhy,
      [&](std::error_code, va::stream_session s) { fresh.emplace(std::move(s)); });
  int seenDuringAttempt = 0;
  asio::steady_timer tick(io);
  std::function<void()> look = [&] {
    if (kept) return;
    if (!keeper.session().is_open() && connectionsTo(port) >= 2) ++seenDuringAttempt;
    tick.expires_after(std::chrono::milliseconds(100));
    tick.async_wait([&](std::error_code) { look(); });
  };
  look();
  runUntil(io, [&] { return kept.has_value() && fresh.has_value(); });
  const std::chrono::duration<double> rebuilt = std::chrono::steady_clock::now() - back_;
  ASSERT_FALSE(*kept) << kept->message() << router.logTail();
  EXPECT_EQ(std::get<0>(reports.front()), State::HEALTHY);
  EXPECT_EQ(std::get<0>(reports[1]), State::REBUILDING);
  EXPECT_EQ(std::get<0>(reports.back()), State::REBUILT);
  EXPECT_GT(seenDuringAttempt, 0) << "the loop ran while the keeper's attempt was under way";
  ASSERT_TRUE(fresh->is_open()) << clientWhy.reason << router.logTail();
  EXPECT_EQ(keeper.session().session().getMyDestination().pub, pub) << "the same destination";

  // A new client finds the rebuilt server by its b32 address, and its bytes come back.
  std::string echoed;
  acceptNext();
  std::optional<tcp::socket> stream;
  bool over = false;
  fresh->async_lookup(SAM::b32Address(pub), [&](std::error_code ec, std::string destination) {
    over = bool(ec);
    ASSERT_FALSE(ec) << ec.message();
    fresh->async_connect(destination, [&](std::error_code ec, tcp::socket s) {
      over = bool(ec);
      ASSERT_FALSE(ec) << ec.message();
      stream.emplace(std::move(s));
      asio::write(*stream, asio::buffer(std::string("after the restart\n")));
      asio::async_read(*stream, asio::dynamic_buffer(echoed), asio::transfer_exactly(18),
                       [&](std::error_code, std::size_t) { over = true; });
    });
  });
  runUntil(io, [&] { return over; });
  EXPECT_EQ(echoed, "after the restart\n") << router.logTail();
  const std::chrono::duration<double> exchanged = std::chrono::steady_clock::now() - back_;
  std::printf("restart: bridge back -> session rebuilt %.1f s, -> bytes exchanged %.1f s\n",
              rebuilt.count(), exchanged.count());
}

}  // namespace
}  // namespace velqor_interop
