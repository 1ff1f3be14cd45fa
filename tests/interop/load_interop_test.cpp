// Many operations at once on a private i2pd router, all from this thread: fifty sessions made
// together, and two hundred streams between two of them, each echoing 64 KiB byte-exact, with
// every descriptor given back.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

#include "echo_pump.hpp"
#include "i2pd_harness.hpp"

namespace velqor_interop {
namespace {

using SAM::Operation;

TEST(Load, FiftySessionsAtOnceAndTwoHundredEchoStreamsFromOneThread) {
  I2pdRouter router;
  const int descriptorsBefore = velqor_test::openDescriptors();
  {
    SAM::TimeLimits limits;
    limits.reply = std::chrono::seconds(120);  // SESSION CREATE: about 20 s on this router
    std::vector<std::unique_ptr<Operation>> creations;
    std::vector<Operation*> pending;
    for (int i = 0; i < 50; ++i) {
      creations.push_back(
          Operation::startStreamSession("load", kRouterHost, router.samPort(), "TRANSIENT",
                                        i == 0 ? kServerSessionOptions : kZeroHopOptions, limits));
      pending.push_back(creations.back().get());
    }
    const auto start = std::chrono::steady_clock::now();
    while (Operation::wait(pending.data(), pending.size(), -1) > 0) {
    }
    // For people, not for the test: the batch takes about what one creation takes.
    std::printf("50 sessions made at once in %.1f s\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    std::vector<std::unique_ptr<SAM::StreamSession>> sessions;
    for (auto& creation : creations) {
      ASSERT_EQ(creation->progress(), Operation::Progress::DONE)
          << creation->error().reason << router.logTail();
      sessions.push_back(creation->takeStreamSession());
    }
    SAM::StreamSession& server = *sessions[0];
    SAM::StreamSession& client = *sessions[1];
    // The accepts wait at the bridge before the clients come: i2pd closes incoming streams
    // beyond 128 that find no accept.
    std::vector<std::unique_ptr<Operation>> accepts;
    for (int i = 0; i < 200; ++i) accepts.push_back(Operation::startAccept(server, false));
    velqor_test::waitUntilAccepting(accepts);
    const auto connect = [&] {
      return Operation::startConnect(client, server.getMyDestination().pub, false);
    };
    const velqor_test::EchoOutcome outcome =
        velqor_test::pumpEchoes(std::move(accepts), connect, 200, 64 << 10, 60000);
    EXPECT_TRUE(outcome.ok()) << outcome.wrong << " wrong, " << outcome.failed << " failed ("
                              << outcome.failure << "), " << outcome.stalled << " stalled\n"
                              << router.logTail();
    for (auto& session : sessions)
      EXPECT_FALSE(session->isSick()) << session->getLastError().reason;
  }
  EXPECT_EQ(velqor_test::openDescriptors(), descriptorsBefore) << "a descriptor leaked";
}

}  // namespace
}  // namespace velqor_interop
