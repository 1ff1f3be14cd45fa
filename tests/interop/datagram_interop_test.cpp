// DatagramSession against a private i2pd router: two DATAGRAM and two RAW sessions, created at
// once before the tests (about 20 s on this router) and shared by them.
#include <gtest/gtest.h>
#include <velqor/sam.hpp>

#include <chrono>
#include <future>
#include <memory>
#include <string>

#include "harness.hpp"

namespace velqor_interop {
namespace {

using SAM::DatagramSession;

// sessions[0] and [1] are DATAGRAM, [2] and [3] RAW.
struct Shared {
  std::unique_ptr<I2pdRouter> router;
  std::unique_ptr<DatagramSession> sessions[4];
} shared;

class Environment : public ::testing::Environment {
  void SetUp() override {
    try {  // from the main thread: the router dies with the thread that started it
      shared.router = std::make_unique<I2pdRouter>();
    } catch (const std::exception& e) {
      FAIL() << e.what();
    }
    SAM::TimeLimits limits;
    limits.read = std::chrono::seconds(30);  // a bound against a lost datagram, not a measure
    std::future<std::unique_ptr<DatagramSession>> started[4];
    for (int i = 0; i < 4; ++i) {
      started[i] = std::async(std::launch::async, [=, port = shared.router->samPort()] {
        return std::make_unique<DatagramSession>("interop-dg", kRouterHost, port,
                                                 i < 2 ? SAM::Message::DATAGRAM : SAM::Message::RAW,
                                                 "TRANSIENT", kServerSessionOptions, limits);
      });
    }
    for (int i = 0; i < 4; ++i) {
      shared.sessions[i] = started[i].get();
      ASSERT_FALSE(shared.sessions[i]->isSick())
          << shared.sessions[i]->getLastError().reason << shared.router->logTail();
    }
  }

  void TearDown() override {
    for (auto& session : shared.sessions) session.reset();
    shared.router.reset();
  }
};

// Sends `payload` from `from` to `to` and checks that `to` receives exactly it, from `from` in
// a DATAGRAM session; returns the sender that `to` saw.
std::string deliver(DatagramSession& from, DatagramSession& to, const std::string& payload,
                    const std::string& destination = "") {
  EXPECT_TRUE(
      from.send(destination.empty() ? to.getMyDestination().pub : destination, payload).isOk)
      << from.getLastError().reason;
  const auto got = to.receive();
  EXPECT_TRUE(got.isOk) << to.getLastError().reason;
  EXPECT_TRUE(got.value.payload == payload)
      << "sent " << payload.size() << " bytes, got " << got.value.payload.size();
  const bool repliable = to.getStyle() == SAM::Message::DATAGRAM;
  EXPECT_EQ(got.value.sender, repliable ? from.getMyDestination().pub : "");
  return got.value.sender;
}

// In a DATAGRAM session the answer goes to the sender the bridge named.
TEST(Datagrams, GoBothWaysInBothStyles) {
  for (int a : {0, 2}) {
    const std::string sender =
        deliver(*shared.sessions[a], *shared.sessions[a + 1], patternBytes(1031, a));
    deliver(*shared.sessions[a + 1], *shared.sessions[a], std::string("\0\0back\0", 7), sender);
  }
}

// The largest payload the header allows arrives whole in both styles; one byte more is refused
// before sending (i2pd would cut it to fit its buffer and deliver the rest). The refused payload
// differs from the one that follows, so a datagram that left anyway would be the one received.
TEST(Datagrams, TheLargestPayloadArrivesAndALongerOneIsRefused) {
  for (int a : {0, 2}) {
    DatagramSession &from = *shared.sessions[a], &to = *shared.sessions[a + 1];
    const std::size_t largest = from.maxPayloadSize(to.getMyDestination().pub);
    EXPECT_EQ(largest + 6 + from.getSessionID().size() + 524, DatagramSession::maxDatagramSize);
    EXPECT_FALSE(from.send(to.getMyDestination().pub, patternBytes(largest + 1, 4)).isOk);
    EXPECT_EQ(from.getLastError().code, SAM::ErrorCode::ARGUMENT);
    deliver(from, to, patternBytes(largest, 5));
    EXPECT_FALSE(from.isSick());
  }
}

TEST(Datagrams, ADatagramToADestinationNobodyServesIsLostWithoutHarm) {
  DatagramSession &a = *shared.sessions[0], &b = *shared.sessions[1];
  const auto nobody = a.destGenerate();
  ASSERT_TRUE(nobody.isOk);
  EXPECT_TRUE(a.send(nobody.value.pub, "into the void").isOk) << a.getLastError().reason;
  EXPECT_FALSE(a.isSick());
  deliver(a, b, "still here");
}

}  // namespace
}  // namespace velqor_interop

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new velqor_interop::Environment);
  return RUN_ALL_TESTS();
}
