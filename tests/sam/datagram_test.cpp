// DatagramSession against the fake bridge: the SESSION CREATE lines, what send() puts on the
// wire and what it refuses, and what receive() makes of what the bridge's UDP port sends.
#include <gtest/gtest.h>
#include <velqor/sam.hpp>

#include <future>
#include <memory>
#include <string>
#include <vector>

#include "fake_bridge.hpp"

namespace {

using SAM::DatagramSession;
using SAM::ErrorCode;
using SAM::Message;
using velqor_test::FakeBridge;
using velqor_test::testKeyPub;

constexpr char kOptions[] = "inbound.length=0";

std::unique_ptr<DatagramSession> openSession(FakeBridge& bridge, Message::SessionStyle style,
                                             const SAM::TimeLimits& limits = {}) {
  auto session = std::make_unique<DatagramSession>("dg", "127.0.0.1", bridge.port(), style,
                                                   "TRANSIENT", kOptions, limits);
  session->setBridgeUdpPort(bridge.udpPort());
  return session;
}

// The UDP port that the session named in its SESSION CREATE line.
uint16_t portInCreateLine(const FakeBridge& bridge) {
  const auto lines = bridge.linesStartingWith("SESSION CREATE");
  return lines.empty() ? 0 : static_cast<uint16_t>(std::stoi(Message::getValue(lines[0], "PORT")));
}

// Sends a marker and checks that it is the next datagram the bridge gets: nothing else was sent.
void expectNothingSentBefore(DatagramSession& session, FakeBridge& bridge) {
  ASSERT_TRUE(session.send(testKeyPub(), "marker").isOk);
  EXPECT_EQ(bridge.receiveDatagram(),
            "3.0 " + session.getSessionID() + " " + testKeyPub() + "\nmarker");
}

TEST(DatagramSession, CreatesItsStyleWithTheUdpSocketItBound) {
  const struct {
    Message::SessionStyle style;
    const char* reply;  // to SESSION CREATE; nullptr: the default OK
    ErrorCode code;     // NONE: created
  } cases[] = {
      {Message::DATAGRAM, nullptr, ErrorCode::NONE},
      {Message::RAW, nullptr, ErrorCode::NONE},
      {Message::RAW, "SESSION STATUS RESULT=DUPLICATED_ID\n", ErrorCode::REFUSED},
      {Message::STREAM, nullptr, ErrorCode::ARGUMENT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("style ") + std::to_string(c.style));
    FakeBridge bridge;
    if (c.reply != nullptr) bridge.on("SESSION CREATE", c.reply);
    auto session = openSession(bridge, c.style);
    EXPECT_EQ(session->getLastError().code, c.code);
    EXPECT_EQ(session->isSick(), c.code != ErrorCode::NONE);
    if (c.style == Message::STREAM) {
      EXPECT_TRUE(bridge.linesStartingWith("SESSION CREATE").empty());
      continue;
    }
    const std::string style = c.style == Message::DATAGRAM ? "DATAGRAM" : "RAW";
    ASSERT_EQ(bridge.linesStartingWith("SESSION CREATE"),
              std::vector<std::string>{
                  "SESSION CREATE STYLE=" + style + " ID=" + session->getSessionID() +
                  " DESTINATION=TRANSIENT SIGNATURE_TYPE=EdDSA_SHA512_Ed25519 "
                  "inbound.nickname=dg HOST=127.0.0.1 PORT=" +
                  std::to_string(session->getUdpPort()) + " " + kOptions + "\n"});
    if (c.code != ErrorCode::NONE) continue;
    EXPECT_EQ(session->getMyDestination().pub, testKeyPub());
    // The port named is the socket's own: a datagram sent there comes out of receive().
    bridge.sendDatagram(portInCreateLine(bridge), testKeyPub() + "\nhello");
    const auto got = session->receive();
    ASSERT_TRUE(got.isOk) << session->getLastError().reason;
    EXPECT_EQ(got.value.payload, c.style == Message::RAW ? testKeyPub() + "\nhello" : "hello");
  }
}

TEST(DatagramSession, SendPutsOneWholeDatagramOnTheWire) {
  FakeBridge bridge;
  auto session = openSession(bridge, Message::DATAGRAM);
  const std::string header = "3.0 " + session->getSessionID() + " " + testKeyPub() + "\n";
  const std::size_t largest = session->maxPayloadSize(testKeyPub());
  EXPECT_EQ(header.size() + largest, DatagramSession::maxDatagramSize);
  const std::string payloads[] = {"ping", std::string("\0zero\0\0first\0", 13), "",
                                  std::string(largest, '\0'), std::string(largest, 'x')};
  for (const std::string& payload : payloads) {
    SCOPED_TRACE(payload.size());
    ASSERT_TRUE(session->send(testKeyPub(), payload).isOk) << session->getLastError().reason;
    EXPECT_EQ(bridge.receiveDatagram(), header + payload);
  }
  EXPECT_FALSE(session->isSick());
}

TEST(DatagramSession, RefusedSendsSendNothingAndLeaveTheSessionHealthy) {
  FakeBridge bridge;
  auto session = openSession(bridge, Message::RAW);
  const std::size_t largest = session->maxPayloadSize(testKeyPub());
  const struct {
    std::string destination;
    std::size_t payloadSize;
  } cases[] = {
      {"", 4},
      {testKeyPub() + " EXTRA", 4},
      {testKeyPub() + "\r", 4},
      {testKeyPub() + "\n3.0 ID " + testKeyPub(), 4},
      {std::string("AAAA\0BBBB", 9), 4},
      {testKeyPub(), largest + 1},
      {testKeyPub(), 70000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.destination.size() + c.payloadSize);
    EXPECT_FALSE(session->send(c.destination, std::string(c.payloadSize, 'p')).isOk);
    EXPECT_EQ(session->getLastError().code, ErrorCode::ARGUMENT);
    EXPECT_FALSE(session->isSick());
    expectNothingSentBefore(*session, bridge);
  }
}

// One datagram as the bridge's UDP side sends it, from its own port or from elsewhere.
struct Sent {
  std::string bytes;
  std::string fromAddress = "";  // "": the bridge's UDP port
  bool fromBridgePort = false;   // with fromAddress: bound to the bridge's UDP port number
};

// What one receive() gives: a datagram, or a failure of `code`.
struct Received {
  ErrorCode code;
  std::string sender;
  std::string payload;
};

TEST(DatagramSession, ReceiveHandsOverWholeDatagramsFromTheBridgeOnly) {
  const std::string pub = testKeyPub();
  const std::string bin("\0pay\0\0load\0", 11);
  const std::size_t full = DatagramSession::receiveBufferSize;
  const std::string fullRaw(full, '\0');
  const std::string fullDatagram = pub + "\n" + std::string(full - pub.size() - 1, 'd');
  const ErrorCode ok = ErrorCode::NONE, bad = ErrorCode::PROTOCOL;
  const struct {
    Message::SessionStyle style;
    std::vector<Sent> sent;
    std::vector<Received> received;
  } cases[] = {
      {Message::DATAGRAM, {{pub + "\n" + bin}}, {{ok, pub, bin}}},
      {Message::DATAGRAM, {{pub + "\n"}}, {{ok, pub, ""}}},
      {Message::DATAGRAM, {{fullDatagram}}, {{ok, pub, fullDatagram.substr(pub.size() + 1)}}},
      // Without a sender line the datagram is dropped and reported; the next one comes through.
      {Message::DATAGRAM, {{bin}, {pub + "\nnext"}}, {{bad, "", ""}, {ok, pub, "next"}}},
      {Message::DATAGRAM, {{"short\n" + bin}}, {{bad, "", ""}}},
      {Message::DATAGRAM, {{pub.substr(0, 515) + "\n" + bin}}, {{bad, "", ""}}},
      {Message::DATAGRAM, {{pub + "!\n" + bin}}, {{bad, "", ""}}},
      {Message::RAW, {{bin}}, {{ok, "", bin}}},
      {Message::RAW, {{pub + "\n" + bin}}, {{ok, "", pub + "\n" + bin}}},
      {Message::RAW, {{""}}, {{ok, "", ""}}},
      {Message::RAW, {{fullRaw}}, {{ok, "", fullRaw}}},
      // One byte over the buffer: reported, never handed over cut short.
      {Message::RAW, {{fullRaw + "x"}, {"after"}}, {{bad, "", ""}, {ok, "", "after"}}},
      {Message::DATAGRAM, {{fullDatagram + "x"}}, {{bad, "", ""}}},
      // Datagrams from another port or another address are dropped unseen.
      {Message::RAW, {{"other port", "127.0.0.1"}, {bin}}, {{ok, "", bin}}},
      {Message::RAW, {{"other host", "127.0.0.2", true}, {bin}}, {{ok, "", bin}}},
      {Message::DATAGRAM, {{pub + "\nother", "127.0.0.1"}, {pub + "\nmine"}}, {{ok, pub, "mine"}}},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE("case " + std::to_string(i));
    FakeBridge bridge;
    auto session = openSession(bridge, cases[i].style);
    for (const Sent& sent : cases[i].sent) {
      bridge.sendDatagram(session->getUdpPort(), sent.bytes, sent.fromAddress,
                          sent.fromBridgePort ? bridge.udpPort() : 0);
    }
    for (const Received& expected : cases[i].received) {
      const auto got = session->receive();
      EXPECT_EQ(got.isOk ? ok : session->getLastError().code, expected.code)
          << session->getLastError().reason;
      EXPECT_EQ(got.value.sender, expected.sender);
      EXPECT_EQ(got.value.payload, expected.payload);
    }
    EXPECT_FALSE(session->isSick());
  }
}

// A receive ends at the read limit (the session stays healthy) or when the bridge ends the
// session by closing the control connection (the session falls sick). Either way a later send
// and receive fail as the session's state says.
TEST(DatagramSession, ReceiveEndsAtItsLimitOrWithTheSession) {
  const struct {
    bool bridgeEndsSession;
    ErrorCode code;
  } cases[] = {{false, ErrorCode::TIMED_OUT}, {true, ErrorCode::CLOSED}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bridgeEndsSession);
    FakeBridge bridge;
    auto endSession = bridge.makeGate();
    if (c.bridgeEndsSession) {
      bridge.on("SESSION CREATE", [&](velqor_test::BridgeConnection& conn, const std::string&) {
        conn.send("SESSION STATUS RESULT=OK DESTINATION=" + velqor_test::testKeyPriv() + "\n");
        endSession->wait();
        conn.close();
      });
    }
    SAM::TimeLimits limits;
    limits.read = std::chrono::milliseconds(c.bridgeEndsSession ? 0 : 50);
    auto session = openSession(bridge, Message::RAW, limits);
    ASSERT_FALSE(session->isSick());
    auto received = std::async(std::launch::async, [&] { return session->receive(); });
    endSession->open();
    EXPECT_FALSE(received.get().isOk);
    EXPECT_EQ(session->getLastError().code, c.code);
    EXPECT_EQ(session->isSick(), c.bridgeEndsSession);
    if (!c.bridgeEndsSession) {
      EXPECT_EQ(session->getLastError().status, Message::DEADLINE_EXCEEDED);
      expectNothingSentBefore(*session, bridge);
      continue;
    }
    EXPECT_FALSE(session->send(testKeyPub(), "late").isOk);
    EXPECT_FALSE(session->receive().isOk);
    EXPECT_EQ(session->getLastError().code, ErrorCode::CLOSED) << "the reason it fell sick";
  }
}

TEST(DatagramSession, ACloseOrAFailedCreationEndsSendAndReceive) {
  FakeBridge bridge;
  auto closed = openSession(bridge, Message::DATAGRAM);
  closed->close();
  EXPECT_FALSE(closed->send(testKeyPub(), "x").isOk);
  EXPECT_EQ(closed->getLastError().code, ErrorCode::CLOSED);
  EXPECT_EQ(closed->getUdpDescriptor(), -1);

  bridge.on("SESSION CREATE", "SESSION STATUS RESULT=I2P_ERROR MESSAGE=\"no tunnels\"\n");
  auto refused = openSession(bridge, Message::DATAGRAM);
  const SAM::Error why = refused->getLastError();
  for (int i = 0; i < 2; ++i) {
    EXPECT_FALSE(i == 0 ? refused->send(testKeyPub(), "x").isOk : refused->receive().isOk);
    EXPECT_EQ(refused->getLastError().reason, why.reason) << "keeps the reason it fell sick";
  }
  EXPECT_EQ(why.code, ErrorCode::REFUSED);
}

}  // namespace
