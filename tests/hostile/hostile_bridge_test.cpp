// Every reply of every request kind, delivered whole, split at every offset, glued to the bytes
// that follow it, with a zero byte inside, over the bound, or cut off by a close at every offset:
// each ends in a defined outcome, without a crash or a leaked descriptor.
#include <gtest/gtest.h>

#include <tuple>

#include <velqor/sam.hpp>

#include "fake_bridge.hpp"

namespace {

using SAM::ErrorCode;
using SAM::I2pSocket;
using SAM::Message;
using SAM::StreamSession;
using Reading = std::pair<Message::eStatus, std::string>;  // a request's status and value
// The reading, whether the connection is open after the request, what the next reads got up to
// the end of the connection, and the error the socket ended with.
using Outcome = std::tuple<Reading, bool, std::string, ErrorCode>;

const std::string endMark = "\nEND-OF-CASE\n";
const std::string glued = std::string("\0first bytes\r\n\xff\0 after a newline", 32);

struct Kind {
  std::string prefix;  // how its request line starts
  std::function<Reading(I2pSocket&)> request;
  std::function<Reading(const std::string&)> readingOf;  // a reply line received whole
  std::vector<std::string> replies;
};

// Every way of reading a reply: the handshake, a request with a RESULT (as every request but a
// generation: a stream request reads it as a lookup does), and a generation, which reads none.
std::vector<Kind> kinds() {
  const std::string pub = velqor_test::testKeyPub(), priv = velqor_test::testKeyPriv();
  const auto version = [](const std::string& v) {
    return Reading{v.empty() ? Message::NO_ANSWER : Message::OK, v};
  };
  return {
      {"HELLO VERSION",
       [=](I2pSocket& s) { return version(s.getVersion()); },
       [=](const std::string& line) {
         const bool isOk = Message::checkAnswer(line) == Message::OK;
         return version(isOk ? Message::getValue(line, "VERSION") : "");
       },
       {"HELLO REPLY RESULT=OK VERSION=3.1\n", "HELLO REPLY RESULT=NOVERSION\n"}},
      {"NAMING LOOKUP",
       [](I2pSocket& s) {
         const auto a = StreamSession::namingLookup(s, "site.i2p");
         return Reading{a.status, a.value};
       },
       [](const std::string& line) {
         const Message::eStatus status = Message::checkAnswer(line);
         return Reading{status, status == Message::OK ? Message::getValue(line, "VALUE") : line};
       },
       {"NAMING REPLY RESULT=OK NAME=site.i2p VALUE=" + pub + "\n",
        "NAMING REPLY RESULT=KEY_NOT_FOUND NAME=site.i2p\n"}},
      {"DEST GENERATE",
       [](I2pSocket& s) {
         const auto a = StreamSession::destGenerate(s);
         return Reading{a.status, a.value.pub + "|" + a.value.priv};
       },
       [](const std::string& line) {
         const std::string p = Message::getValue(line, "PUB"), q = Message::getValue(line, "PRIV");
         if (p.empty() || q.empty()) return Reading{Message::NO_ANSWER, "|"};
         return Reading{Message::OK, p + "|" + q};
       },
       {"DEST REPLY PUB=" + pub + " PRIV=" + priv + "\n",
        "DEST REPLY RESULT=I2P_ERROR MESSAGE=\"no keys\"\n"}},
  };
}

struct Case {
  std::string name;
  std::vector<std::string> pieces;  // each in a receive of its own; then the bridge closes
  Outcome expected;
};

std::vector<Case> casesOf(const Kind& kind, const std::string& reply) {
  std::vector<Case> cases;
  // Where a line is taken, the end mark follows in a receive of its own.
  const auto add = [&](const std::string& name, std::vector<std::string> pieces, Outcome expected) {
    if (!std::get<2>(expected).empty()) pieces.push_back(endMark);
    cases.push_back({name, pieces, expected});
  };
  const auto at = [](const char* mode, std::size_t offset) {
    return mode + (" at " + std::to_string(offset));
  };
  // A line taken whole, and the bytes after it.
  const auto whole = [&](const std::string& line, const std::string& rest = endMark) {
    return Outcome{kind.readingOf(line), true, rest, ErrorCode::CLOSED};
  };
  const Outcome noAnswer{kind.readingOf(""), false, "", ErrorCode::CLOSED};
  add("whole, then a close", {reply}, whole(reply, ""));
  for (std::size_t k = 0; k < reply.size(); ++k) {
    std::string zero = reply;
    zero.insert(k, 1, '\0');
    add(at("split", k), {reply.substr(0, k), reply.substr(k)}, whole(reply));
    add(at("zero byte", k), {zero}, whole(zero));
    add(at("cut", k), {reply.substr(0, k)}, noAnswer);
  }
  const std::string withGlued = reply + glued;
  for (std::size_t k = 1; k <= withGlued.size(); ++k) {
    add(at("glued, split", k), {withGlued.substr(0, k), withGlued.substr(k)},
        whole(reply, glued + endMark));
  }
  if (reply != kind.replies[0]) return cases;
  // The first reply, one key longer, `length` bytes with its "\n".
  const auto padded = [&](std::size_t length) {
    return reply.substr(0, reply.size() - 1) +
           " PAD=" + std::string(length - reply.size() - 5, 'x') + "\n";
  };
  const std::size_t bound = I2pSocket::maxReplyLength;
  const std::string over = padded(bound + 1);
  add("at the bound", {padded(bound)}, whole(padded(bound)));
  // Over the bound the client gives up before the bridge closes. In the first row the "\n"
  // comes in the receive that crosses the bound.
  const Outcome tooLong{kind.readingOf(""), false, "", ErrorCode::PROTOCOL};
  add("a byte over the bound", {over.substr(0, bound - 9), over.substr(bound - 9)}, tooLong);
  add("no newline", {std::string(bound + 1, 'A')}, tooLong);
  return cases;
}

TEST(HostileBridgeTest, EveryReplyOfEveryRequestUnderEveryDelivery) {
  const int descriptorsBefore = velqor_test::openDescriptors();
  {
    std::mutex mutex;
    std::string prefix;  // of the request the current case answers; a HELLO otherwise gets OK
    std::vector<std::string> pieces;
    velqor_test::FakeBridge bridge;
    bridge.on("", [&](velqor_test::BridgeConnection& conn, const std::string& line) {
      std::unique_lock<std::mutex> lock(mutex);
      if (line.compare(0, prefix.size(), prefix) != 0) {
        conn.send("HELLO REPLY RESULT=OK VERSION=3.1\n");
        return;
      }
      const std::vector<std::string> answer = pieces;
      lock.unlock();
      conn.sendSplit(answer);
      conn.close();
    });
    const auto play = [&](const std::string& request, const std::vector<std::string>& answer) {
      std::lock_guard<std::mutex> lock(mutex);
      prefix = request;
      pieces = answer;
    };
    for (const Kind& kind : kinds()) {
      for (const std::string& reply : kind.replies) {
        for (const Case& c : casesOf(kind, reply)) {
          play(kind.prefix, c.pieces);
          I2pSocket socket("127.0.0.1", bridge.port());
          const Reading reading = kind.request(socket);
          const bool open = socket.isOk();
          std::string rest;
          for (std::string piece; !(piece = socket.read()).empty();) rest += piece;
          ASSERT_EQ(Outcome(reading, open, rest, socket.getLastError().code), c.expected)
              << kind.prefix << ", " << c.name << ": " << reply;
        }
      }
    }
  }
  EXPECT_EQ(velqor_test::openDescriptors(), descriptorsBefore) << "a descriptor leaked";
}

}  // namespace
