// The asio adapter against the fake bridge, in one io_context on this thread: a thousand
// operations at once, every phase stalled against a short limit, cancellation half way by each
// of its ways, every byte of a stream whatever came with the bridge's lines, the error values
// of the bridge's refusals, the end of a session seen and rebuilt by the keeper while the loop
// goes on, datagrams both ways, and (compiled as C++20) the same through coroutines.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <velqor/asio.hpp>

#include <asio/io_context.hpp>
#include <asio/read.hpp>
#include <asio/use_future.hpp>
#include <asio/write.hpp>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "fake_bridge.hpp"

#if defined(ASIO_HAS_CO_AWAIT) && __cplusplus >= 202002L
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#endif

namespace {

namespace va = SAM::asio;
using SAM::ErrorCode;
using State = SAM::SessionKeeper::State;
using tcp = asio::ip::tcp;
using velqor_test::BridgeConnection;
using velqor_test::FakeBridge;
using velqor_test::openDescriptors;
using velqor_test::testKeyPriv;
using velqor_test::testKeyPub;

constexpr char kHost[] = "127.0.0.1";
const std::string kStreamOk = "STREAM STATUS RESULT=OK\n";
const std::string kGlued = std::string("\0first bytes\r\n\xff\0 after a newline\n", 33);

va::session_settings settingsFor(uint16_t port, const SAM::TimeLimits& limits = {}) {
  va::session_settings s;
  s.nickname = "asio";
  s.port = port;
  s.limits = limits;
  return s;
}

// Runs `io` until `done()` holds; the loop stays alive meanwhile, for events of other threads.
void runUntil(asio::io_context& io, const std::function<bool()>& done) {
  io.restart();  // after a run that ran out of work
  auto busy = asio::make_work_guard(io);
  while (!done()) io.run_for(std::chrono::milliseconds(10));
}

// Runs `io` until it is out of work.
void run(asio::io_context& io) {
  io.restart();
  io.run();
}

va::stream_session makeSession(asio::io_context& io, uint16_t port,
                               const SAM::TimeLimits& limits = {}) {
  std::optional<va::stream_session> made;
  SAM::Error why;
  va::async_create_stream_session(
      io.get_executor(), settingsFor(port, limits), why,
      [&](std::error_code, va::stream_session s) { made.emplace(std::move(s)); });
  runUntil(io, [&] { return made.has_value(); });
  EXPECT_TRUE(made->is_open()) << why.reason;
  return std::move(*made);
}

// Everything `stream` delivers until its end.
std::string drain(tcp::socket& stream) {
  std::string bytes;
  std::error_code ec;
  asio::read(stream, asio::dynamic_buffer(bytes), ec);
  EXPECT_EQ(ec, asio::error::eof);
  return bytes;
}

void raiseDescriptorLimit() {
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = std::max<rlim_t>(files.rlim_cur, std::min<rlim_t>(files.rlim_max, 4096));
  setrlimit(RLIMIT_NOFILE, &files);
}

// Echoes `stream` back to its peer until the peer's end, then ends it.
void echo(std::shared_ptr<tcp::socket> stream,
          std::shared_ptr<std::vector<char>> buffer = std::make_shared<std::vector<char>>(4096)) {
  stream->async_read_some(asio::buffer(*buffer), [=](std::error_code ec, std::size_t n) {
    if (ec) return stream->close();
    asio::async_write(*stream, asio::buffer(*buffer, n), [=](std::error_code ec, std::size_t) {
      if (!ec) echo(stream, buffer);
    });
  });
}

// 250 streams through two sessions (accepted and echoed on one, connected on the other) and
// 500 lookups, half with handlers and half with futures, all at once from one thread: every
// stream's bytes come back whole to their own stream, every lookup gets its own value.
TEST(AsioAdapter, AThousandOperationsInOneThread) {
  raiseDescriptorLimit();
  const int descriptorsBefore = openDescriptors();
  {
    FakeBridge bridge;
    bridge.pairStreams();
    bridge.on("NAMING LOOKUP", [](BridgeConnection& conn, const std::string& line) {
      conn.send("NAMING REPLY RESULT=OK VALUE=" + line.substr(19, line.size() - 20) + "\n");
    });
    asio::io_context io;
    va::stream_session server = makeSession(io, bridge.port());
    va::stream_session client = makeSession(io, bridge.port());
    constexpr int kStreams = 250, kLookups = 500;
    std::vector<std::string> sent(kStreams), back(kStreams);
    int accepted = 0;
    for (int i = 0; i < kStreams; ++i) {
      server.async_accept([&](std::error_code ec, tcp::socket stream, std::string peer) {
        ASSERT_FALSE(ec) << ec.message();
        EXPECT_EQ(peer, testKeyPub());
        ++accepted;
        echo(std::make_shared<tcp::socket>(std::move(stream)));
      });
      sent[i] = std::string(4096 + i, static_cast<char>(i)) + "stream " + std::to_string(i);
      client.async_connect(testKeyPub(), [&, i](std::error_code ec, tcp::socket connected) {
        ASSERT_FALSE(ec) << ec.message();
        auto stream = std::make_shared<tcp::socket>(std::move(connected));
        asio::async_write(
            *stream, asio::buffer(sent[i]), [&, i, stream](std::error_code ec, std::size_t) {
              ASSERT_FALSE(ec);
              stream->shutdown(tcp::socket::shutdown_send);
              asio::async_read(
                  *stream, asio::dynamic_buffer(back[i]),
                  [stream](std::error_code ec, std::size_t) { EXPECT_EQ(ec, asio::error::eof); });
            });
      });
    }
    std::vector<std::string> values(kLookups / 2);
    std::vector<std::future<std::string>> futures;
    for (int i = 0; i < kLookups / 2; ++i) {
      client.async_lookup("n" + std::to_string(i), [&, i](std::error_code ec, std::string v) {
        EXPECT_FALSE(ec) << ec.message();
        values[i] = std::move(v);
      });
      futures.push_back(server.async_lookup("f" + std::to_string(i), asio::use_future));
    }
    run(io);
    EXPECT_EQ(accepted, kStreams);
    for (int i = 0; i < kStreams; ++i) EXPECT_EQ(back[i], sent[i]) << "stream " << i;
    for (int i = 0; i < kLookups / 2; ++i) {
      EXPECT_EQ(values[i], "n" + std::to_string(i));
      EXPECT_EQ(futures[i].get(), "f" + std::to_string(i));
    }
    EXPECT_FALSE(server.session().isSick() || client.session().isSick());
  }
  EXPECT_EQ(openDescriptors(), descriptorsBefore) << "a descriptor leaked";
}

// A connection to a port whose listener's queue is full, which no connect completes.
struct FullListener {
  FullListener() : fds{velqor_test::loopbackSocket(port, 0)} {
    const sockaddr_in full{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    for (int i = 0; i < 4; ++i) {
      fds.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
      ::connect(fds.back(), reinterpret_cast<const sockaddr*>(&full), sizeof full);
    }
  }
  ~FullListener() {
    for (int fd : fds) ::close(fd);
  }
  uint16_t port = 0;
  std::vector<int> fds;
};

// One operation of the adapter, started on `session` (or, for a creation, on `port`), reporting
// its outcome to `done`.
using Done = std::function<void(std::error_code)>;
// `slot` is bound to the handler.
using Slot = asio::cancellation_slot;
using Start = std::function<void(asio::io_context&, va::stream_session&, uint16_t port,
                                 const SAM::TimeLimits&, SAM::Error&, Slot, Done)>;

Start createOn(bool datagram) {
  return [datagram](asio::io_context& io, va::stream_session&, uint16_t port,
                    const SAM::TimeLimits& limits, SAM::Error& why, Slot slot, Done done) {
    if (datagram) {
      va::async_create_datagram_session(
          io.get_executor(), settingsFor(port, limits), SAM::Message::RAW, why,
          asio::bind_cancellation_slot(
              slot, [done](std::error_code ec, va::datagram_session) { done(ec); }));
    } else {
      va::async_create_stream_session(
          io.get_executor(), settingsFor(port, limits), why,
          asio::bind_cancellation_slot(
              slot, [done](std::error_code ec, va::stream_session) { done(ec); }));
    }
  };
}
const Start kLookup = [](asio::io_context&, va::stream_session& s, uint16_t, const SAM::TimeLimits&,
                         SAM::Error& why, Slot slot, Done done) {
  s.async_lookup(
      "site.i2p", why,
      asio::bind_cancellation_slot(slot, [done](std::error_code ec, std::string) { done(ec); }));
};
const Start kConnect = [](asio::io_context&, va::stream_session& s, uint16_t,
                          const SAM::TimeLimits&, SAM::Error& why, Slot slot, Done done) {
  s.async_connect(
      testKeyPub(), why,
      asio::bind_cancellation_slot(slot, [done](std::error_code ec, tcp::socket) { done(ec); }));
};
const Start kAccept = [](asio::io_context&, va::stream_session& s, uint16_t, const SAM::TimeLimits&,
                         SAM::Error& why, Slot slot, Done done) {
  s.async_accept(why, asio::bind_cancellation_slot(slot, [done](std::error_code ec, tcp::socket,
                                                                std::string) { done(ec); }));
};

// Each phase stalled by the bridge: the operation ends at its limit with error::timed_out (also
// std::errc::timed_out) and the reason the blocking call gives, its connection closed, and the
// session the worse for nothing.
TEST(AsioAdapter, EveryPhaseEndsAtItsLimit) {
  FullListener full;
  const std::chrono::milliseconds limit(100);
  const SAM::TimeLimits limits{limit, limit, limit, limit};
  const std::string noLine = ": no complete line within 100 ms";
  const struct {
    const char* held;  // lines the bridge never answers
    Start start;
    std::string reason;
  } cases[] = {
      {"connect", createOn(false),
       "SESSION CREATE: connect to 127.0.0.1:" + std::to_string(full.port) +
           ": no connection within 100 ms"},
      {"HELLO", createOn(false), "SESSION CREATE: HELLO" + noLine},
      {"SESSION CREATE", createOn(true), "SESSION CREATE" + noLine},
      {"NAMING LOOKUP", kLookup, "NAMING LOOKUP" + noLine},
      {"STREAM CONNECT", kConnect, "STREAM CONNECT" + noLine},
      {"peer", kAccept, "read" + noLine},  // the status line comes, the peer does not
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.held);
    const int descriptorsBefore = openDescriptors();
    {
      FakeBridge bridge;
      bridge.on("STREAM ACCEPT", [](BridgeConnection& conn, const std::string&) {
        conn.send(kStreamOk);
        conn.readAll();
      });
      asio::io_context io;
      va::stream_session session = makeSession(io, bridge.port(), limits);
      bridge.on(c.held, [](BridgeConnection& conn, const std::string&) { conn.readAll(); });
      const uint16_t port = std::string(c.held) == "connect" ? full.port : bridge.port();
      std::optional<std::error_code> ended;
      SAM::Error why;
      c.start(io, session, port, limits, why, Slot(), [&](std::error_code ec) { ended = ec; });
      run(io);
      ASSERT_TRUE(ended.has_value());
      EXPECT_EQ(*ended, va::error::timed_out) << ended->message();
      EXPECT_EQ(*ended, std::errc::timed_out);
      EXPECT_EQ(why.code, ErrorCode::TIMED_OUT);
      EXPECT_EQ(why.reason, c.reason);
      EXPECT_FALSE(session.session().isSick());
      const int last = bridge.connectionCount() - 1;
      if (last > 0) bridge.waitUntilClosed(last);  // closed at the limit, while the bridge waits
    }
    EXPECT_EQ(openDescriptors(), descriptorsBefore) << "a descriptor leaked";
  }
}

// Operations cancelled half way, by each of the three ways (a cancellation signal, the
// session's cancel(), the session's destruction), complete with operation_aborted and the
// reason CANCELLED, close their connections, leave nothing behind, and leave the session
// healthy; an accept cancelled while it waits for its turn passes the turn on.
TEST(AsioAdapter, CancelledHalfWayEndsAndLeavesNothingBehind) {
  FullListener full;
  enum class Way { SIGNAL, SESSION_CANCEL, SESSION_GONE };
  const std::vector<Way> all = {Way::SIGNAL, Way::SESSION_CANCEL, Way::SESSION_GONE};
  const struct {
    const char* held;  // the line the bridge holds; the operation waits for its answer
    Start start;
    std::size_t lines;  // that the bridge has by then
    std::vector<Way> ways;
  } cases[] = {
      {"connect", createOn(false), 0, {Way::SIGNAL}},
      {"HELLO", createOn(true), 1, {Way::SIGNAL}},
      {"NAMING LOOKUP", kLookup, 2, all},
      {"STREAM CONNECT", kConnect, 2, all},
      {"peer", kAccept, 2, all},
      {"turn", kAccept, 3, {Way::SIGNAL}},  // behind an accept whose status line is held
  };
  for (const auto& c : cases) {
    for (const Way way : c.ways) {
      SCOPED_TRACE(std::string(c.held) + " " + std::to_string(static_cast<int>(way)));
      const int descriptorsBefore = openDescriptors();
      {
        FakeBridge bridge;
        const auto status = bridge.makeGate();
        bridge.on("STREAM ACCEPT", [&](BridgeConnection& conn, const std::string&) {
          if (std::string(c.held) == "turn") status->wait();
          conn.send(kStreamOk);
          if (std::string(c.held) == "turn") conn.send(testKeyPub() + "\nfirst");
          conn.readAll();
        });
        asio::io_context io;
        std::optional<va::stream_session> session(makeSession(io, bridge.port()));
        bridge.on(c.held, [](BridgeConnection& conn, const std::string&) { conn.readAll(); });
        std::optional<std::string> first;  // the accept ahead, when there is one
        if (std::string(c.held) == "turn") {
          session->async_accept([&](std::error_code ec, tcp::socket s, std::string) {
            EXPECT_FALSE(ec) << ec.message();
            std::string bytes;
            asio::read(s, asio::dynamic_buffer(bytes), asio::transfer_exactly(5));
            first = bytes;
          });
        }
        const std::size_t linesBefore = bridge.lines().size();
        std::optional<std::error_code> ended;
        SAM::Error why;
        asio::cancellation_signal signal;
        c.start(io, *session, std::string(c.held) == "connect" ? full.port : bridge.port(), {}, why,
                signal.slot(), [&](std::error_code ec) { ended = ec; });
        // Half way: the bridge holds the operation's line (or the accept ahead's), or, for the
        // connect, the connect is under way.
        runUntil(io, [&] { return bridge.lines().size() >= linesBefore + c.lines; });
        io.poll();
        ASSERT_FALSE(ended.has_value());
        const int connections = bridge.connectionCount();
        if (way == Way::SIGNAL) signal.emit(asio::cancellation_type::terminal);
        if (way == Way::SESSION_CANCEL) session->cancel();
        if (way == Way::SESSION_GONE) session.reset();
        runUntil(io, [&] { return ended.has_value(); });
        EXPECT_EQ(*ended, asio::error::operation_aborted) << ended->message();
        EXPECT_EQ(why.code, ErrorCode::CANCELLED);
        for (int id = 1; id < connections; ++id) {
          if (std::string(c.held) != "turn" || id != 1) bridge.waitUntilClosed(id);
        }
        if (std::string(c.held) == "turn") {  // the accept ahead goes on, alone
          status->open();
          runUntil(io, [&] { return first.has_value(); });
          EXPECT_EQ(*first, "first");
          EXPECT_EQ(bridge.linesStartingWith("STREAM ACCEPT").size(), 1u);
        }
        if (session) {
          EXPECT_FALSE(session->session().isSick());
          EXPECT_TRUE(session->session().checkAlive());
        }
      }
      EXPECT_EQ(openDescriptors(), descriptorsBefore) << "a descriptor leaked";
    }
  }
}

// The socket of a connect or an accept holds every byte of the stream, whatever came in one
// receive with the bridge's lines or was split across receives, and outlives its session.
TEST(AsioAdapter, NothingOfAStreamIsLost) {
  const std::string peer = testKeyPub() + "\n";
  const struct {
    const char* what;
    bool accept;
    std::vector<std::string> pieces;  // each in a receive of its own
  } cases[] = {
      {"status glued to the first bytes", false, {kStreamOk + kGlued}},
      {"status split, then the bytes",
       false,
       {kStreamOk.substr(0, 9), kStreamOk.substr(9), kGlued}},
      {"status split into the bytes",
       false,
       {kStreamOk.substr(0, 9), kStreamOk.substr(9) + kGlued}},
      {"status, peer and bytes glued", true, {kStreamOk + peer + kGlued}},
      {"the peer line split", true, {kStreamOk + peer.substr(0, 9), peer.substr(9) + kGlued}},
      {"the peer line's end alone",
       true,
       {kStreamOk + peer.substr(0, peer.size() - 1), "\n" + kGlued}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeBridge bridge;
    bridge.on(c.accept ? "STREAM ACCEPT" : "STREAM CONNECT",
              [&](BridgeConnection& conn, const std::string&) {
                conn.sendSplit(c.pieces);
                conn.close();
              });
    asio::io_context io;
    va::stream_session session = makeSession(io, bridge.port());
    std::optional<tcp::socket> stream;
    std::string from;
    const auto take = [&](std::error_code ec, tcp::socket s) {
      ASSERT_FALSE(ec) << ec.message();
      stream.emplace(std::move(s));
    };
    if (c.accept) {
      session.async_accept([&](std::error_code ec, tcp::socket s, std::string p) {
        from = p;
        take(ec, std::move(s));
      });
    } else {
      session.async_connect(testKeyPub(), take);
    }
    run(io);
    ASSERT_TRUE(stream.has_value());
    EXPECT_EQ(from, c.accept ? testKeyPub() : "");
    session.close();  // the stream is the program's: it outlives its session
    EXPECT_EQ(drain(*stream), kGlued);
  }
}

// The bridge's refusals become the values of velqor's category, with their messages and the
// reasons, and the sick rules hold: an accept refused with I2P_ERROR makes the session lost.
TEST(AsioAdapter, RefusalsAreErrorCodesOfTheirOwn) {
  const struct {
    const char* prefix;
    std::string reply;
    Start start;
    va::error value;
    std::string message;
    bool sick;
  } cases[] = {
      {"NAMING LOOKUP", "NAMING REPLY RESULT=INVALID_KEY NAME=site.i2p\n", kLookup,
       va::error::invalid_key, "the bridge refused: RESULT=INVALID_KEY", false},
      {"STREAM CONNECT", "STREAM STATUS RESULT=CANT_REACH_PEER MESSAGE=gone\n", kConnect,
       va::error::cant_reach_peer, "the bridge refused: RESULT=CANT_REACH_PEER", false},
      {"STREAM CONNECT", "STREAM STATUS RESULT=TIMEOUT\n", kConnect, va::error::bridge_timeout,
       "the bridge refused: RESULT=TIMEOUT", false},
      {"STREAM ACCEPT", "STREAM STATUS RESULT=I2P_ERROR\n", kAccept, va::error::i2p_error,
       "the bridge refused: RESULT=I2P_ERROR", true},
      {"NAMING LOOKUP", "NAMING REPLY RESULT=WHAT\n", kLookup, va::error::unexpected_result,
       "the bridge refused: RESULT=UNEXPECTED_RESULT", false},
      {"SESSION CREATE", "SESSION STATUS RESULT=DUPLICATED_ID\n", createOn(false),
       va::error::duplicated_id, "the bridge refused: RESULT=DUPLICATED_ID", false},
      {"NAMING LOOKUP", "NAMING REPLY RESULT=OK VALUE=x", kLookup, va::error::closed,
       "the peer closed the connection", true},  // no whole line before the end: no answer
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    FakeBridge bridge;
    asio::io_context io;
    va::stream_session session = makeSession(io, bridge.port());
    bridge.on(c.prefix, [&](BridgeConnection& conn, const std::string&) {
      conn.send(c.reply);
      conn.close();
    });
    std::optional<std::error_code> ended, lost;
    SAM::Error why;
    c.start(io, session, bridge.port(), {}, why, Slot(), [&](std::error_code ec) {
      ended = ec;
      session.async_wait_lost([&](std::error_code ec) { lost = ec; });
    });
    runUntil(io, [&] { return ended.has_value() && (!c.sick || lost.has_value()); });
    EXPECT_EQ(*ended, c.value);
    EXPECT_EQ(ended->category().name(), std::string("velqor"));
    EXPECT_EQ(ended->message(), c.message);
    EXPECT_EQ(va::to_error_code(why), *ended);
    EXPECT_NE(why.reason.find(c.prefix), std::string::npos) << why.reason;
    EXPECT_NE(*ended, std::errc::timed_out);
    EXPECT_EQ(session.session().isSick(), c.sick);
    if (c.sick) {
      EXPECT_EQ(*lost, c.value) << "a sick session is lost at once, for its reason";
    }
  }
}

// The bridge ends a kept session: its watch tells, the keeper ends its pending accept, waits the
// release delay, is refused twice and waits the back-off each time, and then rebuilds the session
// with its destination and its forward while the loop goes on serving another session (the
// bridge holds the rebuild's SESSION CREATE until a lookup has been served meanwhile).
TEST(AsioAdapter, TheKeeperRebuildsALostSessionWithoutBlockingTheLoop) {
  FakeBridge bridge;
  const auto served = bridge.makeGate();
  std::atomic<int> creates{0}, rebuiltControl{-1};
  bridge.on("SESSION CREATE", [&](BridgeConnection& conn, const std::string&) {
    const int n = creates++;  // 0: the bystander, 1: the kept session, 2 to 5: rebuilds
    if (n == 2 || n == 3 || n == 5) {
      conn.send("SESSION STATUS RESULT=I2P_ERROR MESSAGE=busy\n");
      return;
    }
    if (n == 4) {
      served->wait();
      rebuiltControl = conn.id();
    }
    conn.send("SESSION STATUS RESULT=OK DESTINATION=" + testKeyPriv() + "\n");
  });
  bridge.on("STREAM FORWARD", kStreamOk);
  bridge.on("STREAM ACCEPT", [](BridgeConnection& conn, const std::string&) {
    conn.send(kStreamOk);
    conn.readAll();
  });
  bridge.on("NAMING LOOKUP", "NAMING REPLY RESULT=OK VALUE=v\n");
  asio::io_context io;
  va::stream_session bystander = makeSession(io, bridge.port());
  va::stream_session kept = makeSession(io, bridge.port());
  const int control = bridge.connectionCount() - 1;
  const std::string firstId = kept.session().getSessionID();
  va::session_keeper keeper(std::move(kept));
  keeper.set_release_delay(std::chrono::milliseconds(20));
  std::vector<std::tuple<State, ErrorCode, long>> reports;
  keeper.set_listener([&](State state, const SAM::Error& why) {
    reports.emplace_back(state, why.code, static_cast<long>(keeper.backoff().count()));
  });
  std::optional<std::error_code> forwarded, accepted, lostSeen, keptUntil;
  keeper.async_forward(kHost, 9, true, [&](std::error_code ec) { forwarded = ec; });
  runUntil(io, [&] { return forwarded.has_value(); });
  ASSERT_FALSE(*forwarded);
  keeper.session().async_accept(
      [&](std::error_code ec, tcp::socket, std::string) { accepted = ec; });
  keeper.session().async_wait_lost([&](std::error_code ec) { lostSeen = ec; });
  keeper.async_keep([&](std::error_code ec) { keptUntil = ec; });
  // Lookups every 10 ms until one is served while the rebuild waits at the bridge.
  asio::steady_timer pace(io);
  std::function<void()> lookUp = [&] {
    bystander.async_lookup("x", [&](std::error_code ec, std::string) {
      EXPECT_FALSE(ec);
      if (creates == 5) return served->open();
      pace.expires_after(std::chrono::milliseconds(10));
      pace.async_wait([&](std::error_code) { lookUp(); });
    });
  };
  lookUp();
  bridge.closeConnection(control);
  runUntil(io, [&] { return keptUntil.has_value(); });
  EXPECT_FALSE(*keptUntil) << keptUntil->message();
  EXPECT_EQ(*lostSeen, va::error::closed);
  EXPECT_EQ(*accepted, asio::error::operation_aborted) << "the lost session's accept ends";
  const std::vector<std::tuple<State, ErrorCode, long>> expected = {
      {State::HEALTHY, ErrorCode::NONE, 0},
      {State::REBUILDING, ErrorCode::CLOSED, 20},
      {State::ATTEMPT_FAILED, ErrorCode::REFUSED, 1000},
      {State::ATTEMPT_FAILED, ErrorCode::REFUSED, 2000},
      {State::REBUILT, ErrorCode::NONE, 0}};
  EXPECT_EQ(reports, expected);
  ASSERT_TRUE(keeper.session().is_open());
  EXPECT_NE(keeper.session().session().getSessionID(), firstId);
  const auto creations = bridge.linesStartingWith("SESSION CREATE");
  ASSERT_EQ(creations.size(), 5u);
  EXPECT_EQ(SAM::Message::getValue(creations[4], "DESTINATION"), testKeyPriv());
  EXPECT_EQ(bridge.linesStartingWith("STREAM FORWARD").size(), 2u) << "the forward made again";
  // Lost again: the back-off starts from its first step, not where the last failures left it.
  keeper.async_keep([](std::error_code) {});
  bridge.closeConnection(rebuiltControl);
  runUntil(io, [&] { return reports.size() == expected.size() + 2; });
  EXPECT_EQ(reports.back(), std::make_tuple(State::ATTEMPT_FAILED, ErrorCode::REFUSED, 1000L));
}

// A session found lost gives its control descriptor back before the library closes it, so the
// number, taken at once by another operation, stays that operation's when the session closes.
TEST(AsioAdapter, ALostSessionLeavesItsDescriptorNumberAlone) {
  FakeBridge bridge;
  const auto answer = bridge.makeGate();
  bridge.on("NAMING LOOKUP", [&](BridgeConnection& conn, const std::string&) {
    answer->wait();
    conn.send("NAMING REPLY RESULT=OK VALUE=v\n");
  });
  asio::io_context io;
  va::stream_session lost = makeSession(io, bridge.port());
  va::stream_session other = makeSession(io, bridge.port());
  const int number = lost.session().getControlDescriptor();
  std::optional<std::error_code> seen;
  std::optional<std::string> value;
  lost.async_wait_lost([&](std::error_code ec) { seen = ec; });
  bridge.closeConnection(0);
  runUntil(io, [&] { return seen.has_value(); });
  other.async_lookup("x", [&](std::error_code, std::string v) { value = v; });
  runUntil(io, [&] { return bridge.linesStartingWith("NAMING LOOKUP").size() == 1; });
  ASSERT_NE(::fcntl(number, F_GETFD), -1) << "the number is the lookup's now";
  lost.close();
  answer->open();
  runUntil(io, [&] { return value.has_value(); });
  EXPECT_EQ(*value, "v");
}

// Datagrams go out framed for the bridge and come in from it; one from any other sender is
// dropped without holding the loop; the bridge's end of the session ends a receive.
TEST(AsioAdapter, DatagramsBothWaysAndTheSessionsEnd) {
  FakeBridge bridge;
  bridge.on("NAMING LOOKUP", "NAMING REPLY RESULT=OK VALUE=v\n");
  asio::io_context io;
  std::optional<va::datagram_session> made;
  va::async_create_datagram_session(io.get_executor(), settingsFor(bridge.port()),
                                    SAM::Message::DATAGRAM,
                                    [&](std::error_code ec, va::datagram_session s) {
                                      ASSERT_FALSE(ec) << ec.message();
                                      made.emplace(std::move(s));
                                    });
  run(io);
  ASSERT_TRUE(made.has_value());
  va::datagram_session& session = *made;
  session.session().setBridgeUdpPort(bridge.udpPort());
  const uint16_t port = session.session().getUdpPort();
  const std::string payload("\0 binary\n\0", 10);
  std::optional<std::error_code> sent;
  session.async_send(testKeyPub(), asio::buffer(payload), [&](std::error_code ec) { sent = ec; });
  run(io);
  ASSERT_FALSE(*sent) << sent->message();
  EXPECT_EQ(bridge.receiveDatagram(),
            "3.0 " + session.session().getSessionID() + " " + testKeyPub() + "\n" + payload);

  bridge.sendDatagram(port, testKeyPub() + "\nforeign", kHost, 0);  // from another port
  std::optional<SAM::Datagram> got;
  session.async_receive([&](std::error_code ec, SAM::Datagram d) {
    ASSERT_FALSE(ec) << ec.message();
    got = d;
  });
  // The bridge's datagram is sent only once the loop has served a lookup, after the foreign
  // one was seen.
  session.async_lookup("x", [&](std::error_code, std::string) {
    bridge.sendDatagram(port, testKeyPub() + "\n" + payload);
  });
  run(io);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->sender, testKeyPub());
  EXPECT_EQ(got->payload, payload);

  std::optional<std::error_code> received, lost;
  session.async_receive([&](std::error_code ec, SAM::Datagram) { received = ec; });
  session.async_wait_lost([&](std::error_code ec) { lost = ec; });
  io.restart();
  io.poll();
  bridge.closeConnection(0);
  runUntil(io, [&] { return received.has_value() && lost.has_value(); });
  EXPECT_EQ(*received, va::error::closed);
  EXPECT_EQ(*lost, va::error::closed);
  EXPECT_TRUE(session.session().isSick());
}

#if defined(ASIO_HAS_CO_AWAIT) && __cplusplus >= 202002L
// The same operations awaited in a coroutine: results come back as values, failures as
// std::system_error with velqor's error code.
TEST(AsioAdapter, CoroutinesAwaitResultsAndCatchFailures) {
  FakeBridge bridge;
  bridge.on("NAMING LOOKUP", [](BridgeConnection& conn, const std::string& line) {
    conn.send(line.find("known") != std::string::npos ? "NAMING REPLY RESULT=OK VALUE=dest\n"
                                                      : "NAMING REPLY RESULT=INVALID_KEY\n");
  });
  bridge.on("STREAM CONNECT", [](BridgeConnection& conn, const std::string&) {
    conn.send(kStreamOk + kGlued);
    conn.close();
  });
  asio::io_context io;
  std::string value, bytes;
  std::error_code refused;
  asio::co_spawn(
      io,
      [&]() -> asio::awaitable<void> {
        va::stream_session s = co_await va::async_create_stream_session(
            io.get_executor(), settingsFor(bridge.port()), asio::use_awaitable);
        value = co_await s.async_lookup("known.i2p", asio::use_awaitable);
        try {
          co_await s.async_lookup("absent.i2p", asio::use_awaitable);
        } catch (const std::system_error& e) {
          refused = e.code();
        }
        tcp::socket stream = co_await s.async_connect(testKeyPub(), asio::use_awaitable);
        std::error_code ec;
        co_await asio::async_read(stream, asio::dynamic_buffer(bytes),
                                  asio::redirect_error(asio::use_awaitable, ec));
      },
      asio::detached);
  run(io);
  EXPECT_EQ(value, "dest");
  EXPECT_EQ(refused, va::error::invalid_key);
  EXPECT_EQ(bytes, kGlued);
}
#endif

}  // namespace
