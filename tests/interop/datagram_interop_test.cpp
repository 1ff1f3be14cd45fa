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

struct Shared {
  std::unique_ptr<I2pdRouter> router;
  std::unique_ptr<DatagramSession> datagram[2];
  std::unique_ptr<DatagramSession> raw[2];
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
    auto start = [&](SAM::Message::SessionStyle style) {
      return std::async(std::launch::async, [=, port = shared.router->samPort()] {
        return std::make_unique<DatagramSession>("interop-dg", kRouterHost, port, style,
                                                 "TRANSIENT", kServerSessionOptions, limits);
      });
    };
    auto d0 = start(SAM::Message::DATAGRAM), d1 = start(SAM::Message::DATAGRAM);
    auto r0 = start(SAM::Message::RAW), r1 = start(SAM::Message::RAW);
    shared.datagram[0] = d0.get(), shared.datagram[1] = d1.get();
    shared.raw[0] = r0.get(), shared.raw[1] = r1.get();
    for (auto* s : {&shared.datagram[0], &shared.datagram[1], &shared.raw[0], &shared.raw[1]}) {
      ASSERT_FALSE((*s)->isSick()) << (*s)->getLastError().reason << shared.router->logTail();
    }
  }

  void TearDown() override {
    for (auto& s : shared.datagram) s.reset();
    for (auto& s : shared.raw) s.reset();
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

TEST(Datagrams, RepliableDatagramsGoBothWaysAndTheSenderCanBeAnswered) {
  DatagramSession &a = *shared.datagram[0], &b = *shared.datagram[1];
  const std::string sender = deliver(a, b, patternBytes(1031, 1));
  EXPECT_EQ(sender.size(), 524u);
  deliver(b, a, patternBytes(517, 2), sender);  // the reply goes to the sender b saw
}

TEST(Datagrams, RawDatagramsGoBothWays) {
  deliver(*shared.raw[0], *shared.raw[1], patternBytes(1031, 3));
  deliver(*shared.raw[1], *shared.raw[0], std::string("\0\0raw\0", 6));
}

// The largest payload the header allows arrives whole in both styles; one byte more is refused
// before sending (i2pd would cut it to fit its buffer and deliver the rest). The refused payload
// differs from the one that follows, so a datagram that left anyway would be the one received.
TEST(Datagrams, TheLargestPayloadArrivesAndALongerOneIsRefused) {
  for (auto* pair : {shared.datagram, shared.raw}) {
    DatagramSession &from = *pair[0], &to = *pair[1];
    const std::size_t largest = from.maxPayloadSize(to.getMyDestination().pub);
    EXPECT_EQ(largest + 6 + from.getSessionID().size() + 524, DatagramSession::maxDatagramSize);
    EXPECT_FALSE(from.send(to.getMyDestination().pub, patternBytes(largest + 1, 4)).isOk);
    EXPECT_EQ(from.getLastError().code, SAM::ErrorCode::ARGUMENT);
    deliver(from, to, patternBytes(largest, 5));
    EXPECT_FALSE(from.isSick());
  }
}

TEST(Datagrams, ADatagramToADestinationNobodyServesIsLostWithoutHarm) {
  DatagramSession &a = *shared.datagram[0], &b = *shared.datagram[1];
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
