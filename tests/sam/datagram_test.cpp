// DatagramSession against the fake bridge: the SESSION CREATE lines, what send() puts on the
// wire and what it refuses, and what receive() makes of what the bridge's UDP port sends.
#include <gtest/gtest.h>
#include <velqor/sam.hpp>

#include <future>

#include "fake_bridge.hpp"

namespace {

using SAM::DatagramSession;
using SAM::ErrorCode;
using SAM::Message;
using velqor_test::FakeBridge;
using velqor_test::testKeyPub;

std::unique_ptr<DatagramSession> openSession(FakeBridge& bridge, Message::SessionStyle style,
                                             std::chrono::milliseconds readLimit = {}) {
  SAM::TimeLimits limits;
  limits.read = readLimit;
  auto session = std::make_unique<DatagramSession>("dg", "127.0.0.1", bridge.port(), style,
                                                   "TRANSIENT", "inbound.length=0", limits);
  EXPECT_EQ(session->getBridgeUdpPort(), bridge.port() - 1) << "i2pd's datagram port";
  session->setBridgeUdpPort(bridge.udpPort());
  return session;
}

std::string headerTo(const DatagramSession& session, const std::string& destination) {
  return "3.0 " + session.getSessionID() + " " + destination + "\n";
}

// Sends a marker and checks that it is the next datagram the bridge gets: nothing else was sent.
void expectNothingSentBefore(DatagramSession& session, FakeBridge& bridge) {
  ASSERT_TRUE(session.send(testKeyPub(), "marker").isOk);
  EXPECT_EQ(bridge.receiveDatagram(), headerTo(session, testKeyPub()) + "marker");
}

TEST(DatagramSession, CreatesItsStyleNamingTheUdpPortItReceivesOn) {
  for (const auto style : {Message::DATAGRAM, Message::RAW, Message::STREAM}) {
    SCOPED_TRACE(style);
    FakeBridge bridge;
    auto session = openSession(bridge, style);
    const auto lines = bridge.linesStartingWith("SESSION CREATE");
    EXPECT_EQ(session->isSick(), style == Message::STREAM);
    ASSERT_EQ(lines.size(), style == Message::STREAM ? 0u : 1u);
    if (style == Message::STREAM) {
      EXPECT_EQ(session->getLastError().code, ErrorCode::ARGUMENT);
      continue;
    }
    const std::string port = Message::getValue(lines[0], "PORT");
    EXPECT_EQ(lines[0],
              "SESSION CREATE STYLE=" + std::string(style == Message::RAW ? "RAW" : "DATAGRAM") +
                  " ID=" + session->getSessionID() +
                  " DESTINATION=TRANSIENT SIGNATURE_TYPE=EdDSA_SHA512_Ed25519 "
                  "inbound.nickname=dg HOST=127.0.0.1 PORT=" +
                  port + " inbound.length=0\n");
    EXPECT_EQ(session->getMyDestination().pub, testKeyPub());
    bridge.sendDatagram(static_cast<uint16_t>(std::stoi(port)), "RAW");
    EXPECT_EQ(session->receive().isOk, style == Message::RAW) << "to the port named";
  }
}

TEST(DatagramSession, SendsOneWholeDatagramOrNothing) {
  FakeBridge bridge;
  auto session = openSession(bridge, Message::DATAGRAM);
  const std::string pub = testKeyPub();
  const std::size_t largest = session->maxPayloadSize(pub);
  EXPECT_EQ(headerTo(*session, pub).size() + largest, DatagramSession::maxDatagramSize);
  for (const std::string& payload :
       {std::string("\0zero\0\0first\0", 13), std::string(), std::string(largest, '\0')}) {
    ASSERT_TRUE(session->send(pub, payload).isOk) << session->getLastError().reason;
    EXPECT_EQ(bridge.receiveDatagram(), headerTo(*session, pub) + payload);
  }
  const struct {
    std::string destination;
    std::size_t payloadSize;
  } refused[] = {{"", 4},         {pub + " X", 4}, {pub + "\r", 4},
                 {pub + "\n", 4}, {pub + '\0', 4}, {pub, largest + 1}};
  for (const auto& c : refused) {
    SCOPED_TRACE(c.destination.size() + c.payloadSize);
    EXPECT_FALSE(session->send(c.destination, std::string(c.payloadSize, 'p')).isOk);
    EXPECT_EQ(session->getLastError().code, ErrorCode::ARGUMENT);
    expectNothingSentBefore(*session, bridge);
  }
  EXPECT_FALSE(session->isSick());
}

TEST(DatagramSession, ReceivesWholeDatagramsFromTheBridgeOnly) {
  const std::string pub = testKeyPub(), bin("\0pay\n\0load\0", 11);  // the sender's line ends first
  const std::string fullRaw(DatagramSession::receiveBufferSize, '\0');
  const ErrorCode ok = ErrorCode::NONE, bad = ErrorCode::PROTOCOL;
  const struct {
    Message::SessionStyle style;
    std::vector<std::string> sent;
    std::vector<std::pair<ErrorCode, std::string>> received;  // a payload, or a failure
  } cases[] = {
      {Message::DATAGRAM, {pub + "\n" + bin}, {{ok, bin}}},
      // Without a sender line the datagram is dropped and reported; the next one comes through.
      {Message::DATAGRAM, {bin, pub + "\nnext"}, {{bad, ""}, {ok, "next"}}},
      {Message::DATAGRAM, {"short\n" + bin}, {{bad, ""}}},
      {Message::DATAGRAM, {pub + "!\n" + bin}, {{bad, ""}}},
      {Message::RAW, {pub + "\n" + bin}, {{ok, pub + "\n" + bin}}},
      {Message::RAW, {""}, {{ok, ""}}},
      {Message::RAW, {fullRaw}, {{ok, fullRaw}}},
      // One byte over the buffer: reported, never handed over cut short.
      {Message::RAW, {fullRaw + "x", "after"}, {{bad, ""}, {ok, "after"}}},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE("case " + std::to_string(i));
    FakeBridge bridge;
    auto session = openSession(bridge, cases[i].style);
    if (i == 0) {  // datagrams from another port or another address are dropped unseen
      bridge.sendDatagram(session->getUdpPort(), "other port", "127.0.0.1");
      bridge.sendDatagram(session->getUdpPort(), "other host", "127.0.0.2", bridge.udpPort());
    }
    for (const std::string& sent : cases[i].sent) bridge.sendDatagram(session->getUdpPort(), sent);
    for (const auto& [code, payload] : cases[i].received) {
      const auto got = session->receive();
      EXPECT_EQ(got.isOk ? ok : session->getLastError().code, code)
          << session->getLastError().reason;
      EXPECT_EQ(got.value.payload, payload);
      const bool repliable = got.isOk && cases[i].style == Message::DATAGRAM;
      EXPECT_EQ(got.value.sender, repliable ? pub : "");
    }
    EXPECT_FALSE(session->isSick());
  }
}

// How a send or a receive fails without a datagram, and what the other does afterwards.
TEST(DatagramSession, EndsAtTheReadLimitOrWithTheSession) {
  enum Ending { READ_LIMIT, BRIDGE_ENDS_SESSION, BRIDGE_ENDED_SESSION, CLOSED_HERE, REFUSED };
  const struct {
    Ending ending;
    bool sendFirst;
    ErrorCode code;
  } cases[] = {{READ_LIMIT, false, ErrorCode::TIMED_OUT},
               {BRIDGE_ENDS_SESSION, false, ErrorCode::CLOSED},
               {BRIDGE_ENDED_SESSION, true, ErrorCode::CLOSED},
               {CLOSED_HERE, true, ErrorCode::CLOSED},
               {REFUSED, false, ErrorCode::REFUSED}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ending);
    FakeBridge bridge;
    auto endSession = bridge.makeGate();
    bridge.on("SESSION CREATE", [&](velqor_test::BridgeConnection& conn, const std::string&) {
      conn.send(c.ending == REFUSED
                    ? "SESSION STATUS RESULT=I2P_ERROR\n"
                    : "SESSION STATUS RESULT=OK DESTINATION=" + velqor_test::testKeyPriv() + "\n");
      if (c.ending != BRIDGE_ENDS_SESSION && c.ending != BRIDGE_ENDED_SESSION) return;
      endSession->wait();
      conn.close();
    });
    // Only the first ends at its limit; in the others it bounds a receive that should fail.
    auto session = openSession(bridge, Message::RAW,
                               std::chrono::milliseconds(c.ending == READ_LIMIT ? 50 : 10000));
    if (c.ending == CLOSED_HERE) session->close();
    if (c.ending == BRIDGE_ENDED_SESSION) {
      endSession->open();
      bridge.waitUntilClosed(0);  // on loopback the session has seen the end by then
    }
    auto first = std::async(std::launch::async, [&] {
      return c.sendFirst ? session->send(testKeyPub(), "x").isOk : session->receive().isOk;
    });
    endSession->open();
    EXPECT_FALSE(first.get());
    EXPECT_EQ(session->getLastError().code, c.code) << session->getLastError().reason;
    EXPECT_EQ(session->isSick(), c.ending != READ_LIMIT);
    if (c.ending == READ_LIMIT) {
      expectNothingSentBefore(*session, bridge);
      continue;
    }
    EXPECT_FALSE(c.sendFirst ? session->receive().isOk : session->send(testKeyPub(), "x").isOk);
    EXPECT_EQ(session->getLastError().code, c.code) << "keeps the reason it fell sick";
  }
}

}  // namespace
