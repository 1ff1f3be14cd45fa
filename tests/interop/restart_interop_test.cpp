// A server whose router crashes and comes back: its session, kept by a SessionKeeper and holding
// a key file, is rebuilt with its forward, and a new client reaches it again by its b32 address.
// VELQOR_RESTARTS (default 1) sets how many times the router is killed; the time from each
// return of the bridge to the first bytes exchanged again is printed.
#include <gtest/gtest.h>
#include <cstdio>
#include <cstdlib>
#include <tuple>
#include "i2pd_harness.hpp"  // <velqor/sam.hpp>, sockets, threads and files

namespace velqor_interop {
namespace {

using Session = SAM::StreamSession;
using State = SAM::SessionKeeper::State;
const SAM::TimeLimits kLimits{std::chrono::seconds(5), std::chrono::seconds(90),
                              std::chrono::seconds(60), std::chrono::seconds(60)};

TEST(RouterRestart, AKeptServerIsReachedAgainByItsB32AfterEachRestart) {
  const char* restarts = std::getenv("VELQOR_RESTARTS");
  I2pdRouter router;
  const uint16_t port = router.samPort();
  SAM::FullDestination key;
  const SAM::Error made =
      SAM::loadOrGenerateKeyFile(router.file("server.dat"), kRouterHost, port, key, kLimits);
  ASSERT_TRUE(made.ok()) << made.reason;
  EXPECT_EQ(key.priv.size(), 908u) << "an EdDSA key";
  LocalServer echo([](int fd) {
    const std::string line = receiveUntil(fd, "\n");
    ::send(fd, line.data(), line.size(), MSG_NOSIGNAL);
    return line;
  });
  SAM::SessionKeeper keeper(std::make_unique<Session>("restart", kRouterHost, port, key.priv,
                                                      kServerSessionOptions, kLimits));
  std::vector<std::tuple<State, SAM::ErrorCode, long>> reports;  // with the back-off then
  keeper.setListener([&](State state, const SAM::Error& reason) {
    reports.emplace_back(state, reason.code, static_cast<long>(keeper.backoff().count()));
  });
  ASSERT_TRUE(keeper.keep(std::chrono::milliseconds(0))) << router.logTail();
  ASSERT_TRUE(keeper.session().forward(kRouterHost, echo.port(), true).isOk);
  const std::string b32 = SAM::b32Address(key.pub);

  // Round 0 reaches the server before any restart.
  for (int round = 0; round <= (restarts ? std::atoi(restarts) : 1); ++round) {
    if (round > 0) {
      reports.clear();
      router.kill();
      // The release delay and three attempts (after 1 s and 2 s more) while the bridge is gone.
      EXPECT_FALSE(keeper.keep(SAM::SessionKeeper::defaultReleaseDelay + std::chrono::seconds(4)));
      ASSERT_EQ(reports.size(), 4u);
      EXPECT_EQ(reports[0], std::make_tuple(State::REBUILDING, std::get<1>(reports[0]), 10000L));
      for (long i = 1; i < 4; ++i) {
        EXPECT_EQ(reports[i], std::make_tuple(State::ATTEMPT_FAILED, SAM::ErrorCode::CONNECT,
                                              1000L << (i - 1)));
      }
      router.restart();
    }
    const auto back = std::chrono::steady_clock::now();
    auto making = startMaking<Session>("restart", kRouterHost, port, "TRANSIENT", kZeroHopOptions,
                                       kLimits);  // a new client, meanwhile
    EXPECT_TRUE(keeper.keep(std::chrono::minutes(3))) << router.logTail();
    const std::chrono::duration<double> rebuilt = std::chrono::steady_clock::now() - back;
    EXPECT_EQ(std::get<0>(reports.back()), round > 0 ? State::REBUILT : State::HEALTHY);
    const std::unique_ptr<Session> client = making.get();  // finds the server by its b32 address
    auto stream = client->connect(client->namingLookup(b32).value, false);
    ASSERT_TRUE(stream.isOk) << client->getLastError().reason << router.logTail();
    const std::string line = "round " + std::to_string(round) + "\n";
    stream.value->write(line);
    EXPECT_EQ(stream.value->readLine(), line) << router.logTail();
    const std::chrono::duration<double> exchanged = std::chrono::steady_clock::now() - back;
    if (round == 0) continue;
    std::printf("restart %d: bridge back -> session rebuilt %.1f s, -> bytes exchanged %.1f s\n",
                round, rebuilt.count(), exchanged.count());
  }
}

}  // namespace
}  // namespace velqor_interop
