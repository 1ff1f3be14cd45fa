// A server whose router crashes and comes back: its session, kept by a SessionKeeper and holding
// a key file, is rebuilt with its forward, and a new client reaches it again by its b32 address.
// VELQOR_RESTARTS (default 1) sets how many times the router is killed; the time from each
// return of the bridge to the first bytes exchanged again is printed.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <velqor/sam.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "harness.hpp"

namespace velqor_interop {
namespace {

using Clock = std::chrono::steady_clock;
using State = SAM::SessionKeeper::State;

// Long enough for the release delay and three failed attempts (after 1 s and 2 s more).
constexpr std::chrono::milliseconds kDownBudget =
    SAM::SessionKeeper::defaultReleaseDelay + std::chrono::milliseconds(3500);

SAM::TimeLimits limits() {  // bounds against hangs; a creation takes about 20 s on this router
  SAM::TimeLimits limits;
  limits.connect = std::chrono::seconds(5);
  limits.reply = std::chrono::seconds(90);
  limits.read = std::chrono::seconds(60);
  limits.write = std::chrono::seconds(60);
  return limits;
}

std::unique_ptr<SAM::StreamSession> clientOn(uint16_t port) {
  return std::make_unique<SAM::StreamSession>("restart-client", kRouterHost, port, "TRANSIENT",
                                              kZeroHopOptions, limits());
}

// Looks `b32` up, connects to it and sends `line`; returns the line that comes back.
std::string echoThroughI2p(SAM::StreamSession& client, const std::string& b32,
                           const std::string& line) {
  const auto destination = client.namingLookup(b32);
  if (!destination.isOk) return "(lookup: " + client.getLastError().reason + ")";
  auto stream = client.connect(destination.value, false);
  if (!stream.isOk) return "(connect: " + client.getLastError().reason + ")";
  stream.value->write(line);
  return stream.value->readLine();
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(RouterRestart, AKeptServerIsReachedAgainByItsB32AfterEachRestart) {
  const char* restartsText = std::getenv("VELQOR_RESTARTS");
  const int restarts = restartsText != nullptr ? std::atoi(restartsText) : 1;
  TempDirectory keys("velqor-keys.");
  I2pdRouter router;
  const uint16_t port = router.samPort();
  SAM::FullDestination key;
  const SAM::Error made = SAM::loadOrGenerateKeyFile(keys.file("server.dat"), kRouterHost, port,
                                                     key, limits());
  ASSERT_TRUE(made.ok()) << made.reason;
  EXPECT_EQ(key.priv.size(), 908u) << "an EdDSA key";
  const std::string b32 = SAM::b32Address(key.pub);

  LocalServer echo([](int fd) {
    const std::string line = receiveUntil(fd, "\n");
    ::send(fd, line.data(), line.size(), MSG_NOSIGNAL);
    return line;
  });
  auto server = std::async(std::launch::async, [&] {
    return std::make_unique<SAM::StreamSession>("restart-server", kRouterHost, port, key.priv,
                                                kServerSessionOptions, limits());
  });
  auto firstClient = std::async(std::launch::async, [port] { return clientOn(port); });
  SAM::SessionKeeper keeper(server.get());
  struct Report {
    State state;
    SAM::ErrorCode code;
    long backoffMs;
  };
  std::vector<Report> reports;
  keeper.setListener([&](State state, const SAM::Error& reason) {
    reports.push_back({state, reason.code, static_cast<long>(keeper.backoff().count())});
  });
  ASSERT_TRUE(keeper.keep(std::chrono::milliseconds(0))) << router.logTail();
  ASSERT_TRUE(keeper.session().forward(kRouterHost, echo.port(), true).isOk);
  ASSERT_EQ(echoThroughI2p(*firstClient.get(), b32, "before\n"), "before\n");

  for (int round = 1; round <= restarts; ++round) {
    SCOPED_TRACE(round);
    reports.clear();
    router.kill();
    // The bridge is gone: the loss is seen, then each attempt fails to connect.
    EXPECT_FALSE(keeper.keep(kDownBudget));
    ASSERT_GE(reports.size(), 2u);
    EXPECT_EQ(reports[0].state, State::REBUILDING);
    EXPECT_EQ(reports[0].backoffMs, SAM::SessionKeeper::defaultReleaseDelay.count());
    for (std::size_t i = 1; i < reports.size(); ++i) {
      EXPECT_EQ(reports[i].state, State::ATTEMPT_FAILED);
      EXPECT_EQ(reports[i].code, SAM::ErrorCode::CONNECT);
      EXPECT_EQ(reports[i].backoffMs, 1000L << (i - 1));
    }

    router.restart();
    const Clock::time_point back = Clock::now();
    auto client = std::async(std::launch::async, [port] { return clientOn(port); });
    EXPECT_TRUE(keeper.keep(std::chrono::minutes(3))) << router.logTail();
    const double rebuilt = secondsSince(back);
    EXPECT_EQ(reports.back().state, State::REBUILT);
    const std::string line = "round " + std::to_string(round) + "\n";
    EXPECT_EQ(echoThroughI2p(*client.get(), b32, line), line) << router.logTail();
    std::printf("restart %d: bridge back -> session rebuilt %.1f s, -> bytes exchanged %.1f s\n",
                round, rebuilt, secondsSince(back));
  }
}

}  // namespace
}  // namespace velqor_interop
