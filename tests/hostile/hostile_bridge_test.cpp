// A bridge that delivers every reply of every request in hostile ways: split at every byte
// offset, glued to the bytes that follow it, with a zero byte inside, longer than any reply
// may be, or cut off by a close at every offset. Each case must end in a defined status,
// without a crash, without a hang (every case ends on an event: a whole reply, or the bridge
// closing) and without a leaked descriptor.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include <velqor/sam.hpp>

#include "fake_bridge.hpp"
#include "process_usage.hpp"

namespace {

using SAM::I2pSocket;
using SAM::Message;
using SAM::StreamSession;
using velqor_test::BridgeConnection;
using velqor_test::FakeBridge;
using velqor_test::ProcessUsage;

// Sent after each case's reply (and after the bytes glued to it) in a send of its own; the
// client reads up to it, which shows that nothing was lost, doubled or reordered.
const std::string endOfCase = "\nEND-OF-CASE\n";

// Bytes that follow a reply in the same send, as stream bytes do after "RESULT=OK".
const std::string gluedBytes = std::string("\0first bytes\r\n\xff\0 after a newline", 32);

// What one request made of its reply.
struct Outcome {
  Message::eStatus status;
  std::string value;

  bool operator==(const Outcome& other) const {
    return status == other.status && value == other.value;
  }
};

std::ostream& operator<<(std::ostream& out, const Outcome& outcome) {
  return out << "status " << outcome.status << ", value \"" << outcome.value << "\"";
}

struct Reply {
  std::string text;
  Outcome expected;  // when delivered whole
};

// One kind of request, run through its static form on a given connection.
struct RequestKind {
  std::string name;
  std::string linePrefix;  // how the request line starts, for the bridge's script
  std::string valueKey;    // the reply's key that becomes the value; "" when none
  std::function<Outcome(I2pSocket&)> exchange;
  std::vector<Reply> replies;

  // What the request makes of `line` by the library's reading of replies.
  Outcome outcomeOf(const std::string& line) const {
    if (linePrefix == "DEST GENERATE") {
      const std::string pub = Message::getValue(line, "PUB");
      const std::string priv = Message::getValue(line, "PRIV");
      if (pub.empty() || priv.empty()) return noAnswer();
      return {Message::OK, pub + "|" + priv};
    }
    const Message::eStatus status = Message::checkAnswer(line);
    if (valueKey.empty()) return {status, ""};
    return {status, status == Message::OK ? Message::getValue(line, valueKey) : line};
  }

  // What the request gives when the connection ends before a whole reply.
  Outcome noAnswer() const {
    return {Message::NO_ANSWER, linePrefix == "DEST GENERATE" ? "|" : ""};
  }
};

Outcome statusOnly(Message::eStatus status) { return {status, ""}; }

std::vector<RequestKind> requestKinds() {
  const std::string pub = velqor_test::testKeyPub();
  const std::string priv = velqor_test::testKeyPriv();
  const auto failure = [](Message::eStatus status, const std::string& text) {
    return Reply{text, {status, text}};
  };
  const auto streamReply = [](Message::eStatus status, const std::string& text) {
    return Reply{text, statusOnly(status)};
  };
  return {
      {"session create",
       "SESSION CREATE",
       "DESTINATION",
       [](I2pSocket& s) {
         const auto answer =
             StreamSession::createStreamSession(s, "HOSTILE", "hostile", "TRANSIENT", "", "SIG");
         return Outcome{answer.status, answer.value};
       },
       {{"SESSION STATUS RESULT=OK DESTINATION=" + priv + "\n", {Message::OK, priv}},
        failure(Message::I2P_ERROR, "SESSION STATUS RESULT=I2P_ERROR MESSAGE=\"Unknown STYLE\"\n"),
        failure(Message::DUPLICATED_DEST, "SESSION STATUS RESULT=DUPLICATED_DEST\n"),
        failure(Message::INVALID_KEY, "SESSION STATUS RESULT=INVALID_KEY MESSAGE=\"bad key\"\n")}},
      {"naming lookup",
       "NAMING LOOKUP",
       "VALUE",
       [](I2pSocket& s) {
         const auto answer = StreamSession::namingLookup(s, "site.i2p");
         return Outcome{answer.status, answer.value};
       },
       {{"NAMING REPLY RESULT=OK NAME=site.i2p VALUE=" + pub + "\n", {Message::OK, pub}},
        failure(Message::KEY_NOT_FOUND, "NAMING REPLY RESULT=KEY_NOT_FOUND NAME=site.i2p\n")}},
      {"dest generate",
       "DEST GENERATE",
       "",
       [](I2pSocket& s) {
         const auto answer = StreamSession::destGenerate(s);
         return Outcome{answer.status, answer.value.pub + "|" + answer.value.priv};
       },
       {{"DEST REPLY PUB=" + pub + " PRIV=" + priv + "\n", {Message::OK, pub + "|" + priv}},
        {"DEST REPLY RESULT=I2P_ERROR MESSAGE=\"no keys\"\n", {Message::NO_ANSWER, "|"}}}},
      {"stream connect",
       "STREAM CONNECT",
       "",
       [](I2pSocket& s) { return statusOnly(StreamSession::connect(s, "HOSTILE", "peer", false)); },
       {streamReply(Message::OK, "STREAM STATUS RESULT=OK\n"),
        streamReply(Message::CANT_REACH_PEER,
                    "STREAM STATUS RESULT=CANT_REACH_PEER MESSAGE=\"unreachable\"\n"),
        streamReply(Message::INVALID_KEY, "STREAM STATUS RESULT=INVALID_KEY\n")}},
      {"stream accept",
       "STREAM ACCEPT",
       "",
       [](I2pSocket& s) { return statusOnly(StreamSession::accept(s, "HOSTILE", false)); },
       {streamReply(Message::OK, "STREAM STATUS RESULT=OK\n"),
        streamReply(Message::I2P_ERROR,
                    "STREAM STATUS RESULT=I2P_ERROR MESSAGE=\"Already accepting\"\n"),
        streamReply(Message::INVALID_ID, "STREAM STATUS RESULT=INVALID_ID\n")}},
      {"stream forward",
       "STREAM FORWARD",
       "",
       [](I2pSocket& s) {
         return statusOnly(StreamSession::forward(s, "HOSTILE", "127.0.0.1", 8080, true));
       },
       {streamReply(Message::OK, "STREAM STATUS RESULT=OK\n"),
        streamReply(Message::INVALID_ID, "STREAM STATUS RESULT=INVALID_ID\n"),
        streamReply(Message::TIMEOUT, "STREAM STATUS RESULT=TIMEOUT\n")}},
  };
}

const std::vector<std::string> helloReplies = {
    "HELLO REPLY RESULT=OK VERSION=3.1\n",
    "HELLO REPLY RESULT=NOVERSION\n",
    "HELLO REPLY RESULT=I2P_ERROR MESSAGE=\"Must start with HELLO VERSION\"\n",
};

// What the bridge does with the next request it is scripted for.
struct Delivery {
  std::vector<std::string> pieces;  // each in a receive of its own
  bool closeAfter = false;
};

std::vector<std::string> splitAt(const std::string& text, std::size_t offset) {
  return {text.substr(0, offset), text.substr(offset)};
}

std::vector<std::string> withEndOfCase(std::vector<std::string> pieces) {
  pieces.push_back(endOfCase);
  return pieces;
}

// Cuts `text` at up to seven random offsets.
std::vector<std::string> randomPieces(const std::string& text, std::mt19937& random) {
  std::vector<std::size_t> cuts = {0, text.size()};
  const std::size_t count = 1 + random() % 7;
  for (std::size_t i = 0; i < count; ++i) cuts.push_back(1 + random() % (text.size() - 1));
  std::sort(cuts.begin(), cuts.end());
  std::vector<std::string> pieces;
  for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
    if (cuts[i + 1] > cuts[i]) pieces.push_back(text.substr(cuts[i], cuts[i + 1] - cuts[i]));
  }
  return pieces;
}

// Reads from `socket` until the end-of-case mark has come, or more bytes than the `expected`
// ones and the mark, and returns what came before the mark; "<connection ended>" is appended
// when the connection ends first. Never waits for bytes that the bridge has not sent.
std::string readUpToEndOfCase(I2pSocket& socket, const std::string& expected = "") {
  std::string received;
  while (received.find(endOfCase) == std::string::npos &&
         received.size() < expected.size() + endOfCase.size()) {
    const std::string piece = socket.read();
    if (piece.empty()) return received + "<connection ended>";
    received += piece;
  }
  return received.substr(0, received.find(endOfCase));
}

class HostileBridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    descriptorsBefore_ = ProcessUsage::openDescriptors();
    bridge_ = std::make_unique<FakeBridge>();
  }

  void TearDown() override {
    bridge_.reset();
    EXPECT_EQ(ProcessUsage::openDescriptors(), descriptorsBefore_) << "a descriptor leaked";
  }

  // Scripts the bridge to answer lines that start with `prefix` with the queued deliveries,
  // one for each line, in order.
  void answerFromQueue(const std::string& prefix) {
    bridge_->on(prefix, [this](BridgeConnection& conn, const std::string&) {
      const Delivery delivery = nextDelivery();
      conn.sendSplit(delivery.pieces);
      if (delivery.closeAfter) conn.close();
    });
  }

  void deliver(std::vector<std::string> pieces, bool closeAfter = false) {
    std::lock_guard<std::mutex> lock(mutex_);
    deliveries_.push_back(Delivery{std::move(pieces), closeAfter});
  }

  std::unique_ptr<I2pSocket> connect() {
    return std::make_unique<I2pSocket>("127.0.0.1", bridge_->port());
  }

  uint16_t port() const { return bridge_->port(); }

 private:
  Delivery nextDelivery() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (deliveries_.empty()) return Delivery{{}, true};  // a request the test did not script
    Delivery next = std::move(deliveries_.front());
    deliveries_.pop_front();
    return next;
  }

  int descriptorsBefore_ = 0;
  std::mutex mutex_;
  std::deque<Delivery> deliveries_;
  std::unique_ptr<FakeBridge> bridge_;
};

// The premise of the cases below: each piece reaches the client in a receive of its own.
TEST_F(HostileBridgeTest, EachPieceArrivesInAReceiveOfItsOwn) {
  const std::vector<std::string> pieces = {"STREAM STA", "T", "US RESULT=OK\n", gluedBytes};
  answerFromQueue("PIECES");
  deliver(pieces, true);
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port());
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::send(fd, "PIECES\n", 7, 0), 7);
  std::vector<std::string> received;
  char buffer[4096];
  for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) {
    received.emplace_back(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  EXPECT_EQ(received, pieces);
}

TEST_F(HostileBridgeTest, EveryReplyOfEveryRequestReadsTheSameHowEverItIsSplit) {
  std::mt19937 random(20240601);
  for (const RequestKind& kind : requestKinds()) {
    answerFromQueue(kind.linePrefix);
    // One connection carries every case of a kind: no case ends it.
    const auto socket = connect();
    ASSERT_TRUE(socket->isOk());
    for (const Reply& reply : kind.replies) {
      SCOPED_TRACE(kind.name + ": " + reply.text);
      ASSERT_EQ(kind.outcomeOf(reply.text), reply.expected);
      std::vector<std::vector<std::string>> deliveries = {{reply.text}};
      for (std::size_t offset = 1; offset < reply.text.size(); ++offset) {
        deliveries.push_back(splitAt(reply.text, offset));
      }
      for (int i = 0; i < 20; ++i) deliveries.push_back(randomPieces(reply.text, random));

      for (const auto& pieces : deliveries) {
        deliver(withEndOfCase(pieces));
        ASSERT_EQ(kind.exchange(*socket), reply.expected) << "first piece: " << pieces[0];
        ASSERT_EQ(readUpToEndOfCase(*socket), "") << "first piece: " << pieces[0];
      }
    }
  }
}

TEST_F(HostileBridgeTest, BytesGluedToAReplyStayForTheNextReadAtEverySplit) {
  for (const RequestKind& kind : requestKinds()) {
    answerFromQueue(kind.linePrefix);
    const auto socket = connect();
    ASSERT_TRUE(socket->isOk());
    for (const Reply& reply : kind.replies) {
      SCOPED_TRACE(kind.name + ": " + reply.text);
      const std::string glued = reply.text + gluedBytes;
      for (std::size_t offset = 1; offset <= glued.size(); ++offset) {
        deliver(withEndOfCase(offset == glued.size() ? std::vector<std::string>{glued}
                                                     : splitAt(glued, offset)));
        ASSERT_EQ(kind.exchange(*socket), reply.expected) << "split at " << offset;
        ASSERT_EQ(readUpToEndOfCase(*socket, gluedBytes), gluedBytes) << "split at " << offset;
      }
    }
  }
}

TEST_F(HostileBridgeTest, AZeroByteAnywhereInAReplyIsReadAsAnOrdinaryByte) {
  for (const RequestKind& kind : requestKinds()) {
    answerFromQueue(kind.linePrefix);
    const auto socket = connect();
    ASSERT_TRUE(socket->isOk());
    for (const Reply& reply : kind.replies) {
      SCOPED_TRACE(kind.name + ": " + reply.text);
      for (std::size_t offset = 0; offset < reply.text.size(); ++offset) {
        std::string text = reply.text;
        text.insert(offset, 1, '\0');
        deliver(withEndOfCase({text}));
        const Outcome outcome = kind.exchange(*socket);
        ASSERT_EQ(outcome, kind.outcomeOf(text)) << "zero byte at " << offset;
        // A value taken from the reply is unchanged, carries the zero byte, or is missing
        // because the zero byte broke its key.
        if (outcome.status == Message::OK && outcome.value != reply.expected.value &&
            !outcome.value.empty()) {
          std::string withoutZero = outcome.value;
          withoutZero.erase(withoutZero.find('\0'), 1);
          ASSERT_EQ(withoutZero, reply.expected.value) << "zero byte at " << offset;
        }
        ASSERT_EQ(readUpToEndOfCase(*socket), "") << "zero byte at " << offset;
      }
    }
    // A reply of nothing but zero bytes is a reply without a RESULT.
    deliver(withEndOfCase({std::string(100, '\0') + "\n"}));
    ASSERT_EQ(kind.exchange(*socket), kind.outcomeOf(std::string(100, '\0') + "\n"));
    ASSERT_EQ(readUpToEndOfCase(*socket), "");
  }
}

TEST_F(HostileBridgeTest, AReplyCutOffByACloseAtAnyOffsetIsNoAnswer) {
  for (const RequestKind& kind : requestKinds()) {
    answerFromQueue(kind.linePrefix);
    for (const Reply& reply : kind.replies) {
      SCOPED_TRACE(kind.name + ": " + reply.text);
      for (std::size_t offset = 0; offset <= reply.text.size(); ++offset) {
        const auto socket = connect();
        ASSERT_TRUE(socket->isOk());
        deliver({reply.text.substr(0, offset)}, true);
        const Outcome outcome = kind.exchange(*socket);
        if (offset < reply.text.size()) {
          ASSERT_EQ(outcome, kind.noAnswer()) << "cut at " << offset;
          ASSERT_FALSE(socket->isOk()) << "cut at " << offset;
        } else {
          // The whole line came before the close: it counts, and the next read sees the end.
          ASSERT_EQ(outcome, reply.expected);
          ASSERT_EQ(socket->read(), "");
          ASSERT_FALSE(socket->isOk());
        }
      }
    }
  }
}

TEST_F(HostileBridgeTest, AReplyLongerThanTheBoundFailsAndClosesTheConnection) {
  const std::size_t bound = I2pSocket::maxReplyLength;
  for (const RequestKind& kind : requestKinds()) {
    SCOPED_TRACE(kind.name);
    answerFromQueue(kind.linePrefix);
    // The first reply padded with one more key to `length` bytes, "\n" included.
    const std::string& text = kind.replies[0].text;
    const auto padded = [&](std::size_t length) {
      return text.substr(0, text.size() - 1) +
             " PAD=" + std::string(length - text.size() - 5, 'x') + "\n";
    };

    auto socket = connect();
    deliver(withEndOfCase({padded(bound)}));
    ASSERT_EQ(kind.exchange(*socket), kind.outcomeOf(padded(bound))) << "a line at the bound";
    ASSERT_EQ(readUpToEndOfCase(*socket), "");

    const std::vector<Delivery> tooLong = {
        {{padded(bound + 1)}, true},                                     // one byte over
        {{std::string(bound + 1, 'A')}, true},                           // no newline at all
        {{text.substr(0, 20), std::string(1 << 20, ' ') + "\n"}, true},  // a megabyte of spaces
    };
    for (const Delivery& delivery : tooLong) {
      socket = connect();
      deliver(delivery.pieces, delivery.closeAfter);
      ASSERT_EQ(kind.exchange(*socket), kind.noAnswer());
      ASSERT_FALSE(socket->isOk());
    }
  }
}

// The handshake's reply, read in the constructor, under each of the hostile deliveries.
TEST_F(HostileBridgeTest, TheHandshakeReplyUnderEveryHostileDelivery) {
  answerFromQueue("HELLO VERSION");
  const auto handshake = [&](std::vector<std::string> pieces, bool closeAfter) {
    deliver(std::move(pieces), closeAfter);
    return connect();
  };
  // A refused handshake leaves the connection open without a version.
  const auto versionOf = [](const std::string& line) {
    return Message::checkAnswer(line) == Message::OK ? Message::getValue(line, "VERSION") : "";
  };
  ASSERT_EQ(versionOf(helloReplies[0]), "3.1");

  for (const std::string& reply : helloReplies) {
    SCOPED_TRACE(reply);
    const std::string glued = reply + gluedBytes;
    for (std::size_t offset = 1; offset <= glued.size(); ++offset) {
      const auto socket = handshake(withEndOfCase(splitAt(glued, offset)), false);
      ASSERT_TRUE(socket->isOk()) << "split at " << offset;
      ASSERT_EQ(socket->getVersion(), versionOf(reply)) << "split at " << offset;
      ASSERT_EQ(readUpToEndOfCase(*socket, gluedBytes), gluedBytes) << "split at " << offset;
    }
    for (std::size_t offset = 0; offset < reply.size(); ++offset) {
      std::string text = reply;
      text.insert(offset, 1, '\0');
      const auto socket = handshake(withEndOfCase({text}), false);
      ASSERT_EQ(socket->getVersion(), versionOf(text)) << "zero byte at " << offset;
      ASSERT_EQ(readUpToEndOfCase(*socket), "") << "zero byte at " << offset;
    }
    for (std::size_t offset = 0; offset < reply.size(); ++offset) {
      const auto socket = handshake({reply.substr(0, offset)}, true);
      ASSERT_FALSE(socket->isOk()) << "cut at " << offset;
      ASSERT_EQ(socket->getVersion(), "") << "cut at " << offset;
    }
  }
  const auto overLong = handshake(
      {"HELLO REPLY RESULT=OK VERSION=" + std::string(I2pSocket::maxReplyLength, '3')}, true);
  EXPECT_FALSE(overLong->isOk());
  EXPECT_EQ(overLong->getVersion(), "");
}

// The member forms on top: a cut-off reply is a failed request and a sick session, and the
// stream bytes that a bridge sends in the same receive as "RESULT=OK" reach the caller.
TEST_F(HostileBridgeTest, MemberRequestsKeepStreamBytesAndFailOnCutOffReplies) {
  StreamSession session("hostile", "127.0.0.1", port());
  ASSERT_FALSE(session.isSick());
  answerFromQueue("STREAM CONNECT");
  answerFromQueue("STREAM ACCEPT");
  const std::string ok = "STREAM STATUS RESULT=OK\n";
  const std::string peerLine = velqor_test::testKeyPub() + " FROM_PORT=0 TO_PORT=0\n";

  const std::string connected = ok + gluedBytes;
  for (std::size_t offset = 1; offset < connected.size(); ++offset) {
    deliver(withEndOfCase(splitAt(connected, offset)));
    const auto result = session.connect("peer.i2p", false);
    ASSERT_TRUE(result.isOk) << "split at " << offset;
    ASSERT_EQ(readUpToEndOfCase(*result.value, gluedBytes), gluedBytes) << "split at " << offset;
  }
  const std::string accepted = ok + peerLine + gluedBytes;
  for (std::size_t offset = 1; offset < accepted.size(); ++offset) {
    deliver(withEndOfCase(splitAt(accepted, offset)));
    const auto result = session.accept(false);
    ASSERT_TRUE(result.isOk) << "split at " << offset;
    ASSERT_EQ(result.value->readLine(), peerLine) << "split at " << offset;
    ASSERT_EQ(readUpToEndOfCase(*result.value, gluedBytes), gluedBytes) << "split at " << offset;
  }
  ASSERT_FALSE(session.isSick());

  deliver({ok.substr(0, ok.size() - 1)}, true);
  EXPECT_FALSE(session.connect("peer.i2p", false).isOk);
  EXPECT_TRUE(session.isSick());
}

}  // namespace
