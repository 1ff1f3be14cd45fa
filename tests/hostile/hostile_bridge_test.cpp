// Every reply of every request kind, delivered whole, split at every offset or in random pieces,
// glued to the bytes that follow it, with a zero byte inside, over the bound, or cut off by a
// close at every offset: each ends in a defined outcome, without a crash or a leaked descriptor.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

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

// The library's reading of a reply in which `key` holds the value ("": the status alone).
std::function<Reading(const std::string&)> keyed(const std::string& key) {
  return [key](const std::string& line) {
    const Message::eStatus status = Message::checkAnswer(line);
    if (key.empty()) return Reading{status, ""};
    return Reading{status, status == Message::OK ? Message::getValue(line, key) : line};
  };
}

template <class Answer>
Reading of(const Answer& a) {
  return {a.status, a.value};
}

std::vector<Kind> kinds() {
  const std::string pub = velqor_test::testKeyPub(), priv = velqor_test::testKeyPriv();
  const auto version = [](const std::string& v) {
    return Reading{v.empty() ? Message::NO_ANSWER : Message::OK, v};
  };
  const std::string ok = "STREAM STATUS RESULT=OK\n";
  return {
      {"HELLO VERSION",
       [=](I2pSocket& s) { return version(s.getVersion()); },
       [=](const std::string& line) {
         const bool isOk = Message::checkAnswer(line) == Message::OK;
         return version(isOk ? Message::getValue(line, "VERSION") : "");
       },
       {"HELLO REPLY RESULT=OK VERSION=3.1\n", "HELLO REPLY RESULT=NOVERSION\n"}},
      {"SESSION CREATE",
       [](I2pSocket& s) {
         return of(StreamSession::createStreamSession(s, "H", "h", "TRANSIENT", "", "SIG"));
       },
       keyed("DESTINATION"),
       {"SESSION STATUS RESULT=OK DESTINATION=" + priv + "\n",
        "SESSION STATUS RESULT=I2P_ERROR MESSAGE=\"Unknown STYLE\"\n"}},
      {"NAMING LOOKUP",
       [](I2pSocket& s) { return of(StreamSession::namingLookup(s, "site.i2p")); },
       keyed("VALUE"),
       {"NAMING REPLY RESULT=OK NAME=site.i2p VALUE=" + pub + "\n",
        "NAMING REPLY RESULT=KEY_NOT_FOUND NAME=site.i2p\n"}},
      // A generation reads no RESULT: it takes both keys or fails.
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
      {"STREAM CONNECT",
       [](I2pSocket& s) {
         return Reading{StreamSession::connect(s, "HOSTILE", "peer", false), ""};
       },
       keyed(""),
       {ok, "STREAM STATUS RESULT=CANT_REACH_PEER MESSAGE=\"unreachable\"\n"}},
      {"STREAM ACCEPT",
       [](I2pSocket& s) {
         return Reading{StreamSession::accept(s, "HOSTILE", false), ""};
       },
       keyed(""),
       {ok, "STREAM STATUS RESULT=I2P_ERROR MESSAGE=\"Already accepting\"\n"}},
      {"STREAM FORWARD",
       [](I2pSocket& s) {
         return Reading{StreamSession::forward(s, "HOSTILE", "127.0.0.1", 8080, true), ""};
       },
       keyed(""),
       {ok, "STREAM STATUS RESULT=INVALID_ID\n"}},
  };
}

struct Case {
  std::string name;
  std::vector<std::string> pieces;  // each in a receive of its own; then the bridge closes
  bool marked;                      // the end mark goes in a receive of its own before the close
  Outcome expected;
};

std::vector<std::string> randomPieces(const std::string& text, std::mt19937& random) {
  std::vector<std::size_t> cuts = {0, text.size()};
  for (std::size_t i = 1 + random() % 7; i > 0; --i) cuts.push_back(random() % text.size());
  std::sort(cuts.begin(), cuts.end());
  std::vector<std::string> pieces;
  for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
    pieces.push_back(text.substr(cuts[i], cuts[i + 1] - cuts[i]));
  }
  return pieces;
}

std::vector<Case> casesOf(const Kind& kind, const std::string& reply, std::mt19937& random) {
  const auto at = [](const char* mode, std::size_t offset) {
    return mode + (" at " + std::to_string(offset));
  };
  // A line taken whole, and the bytes after it.
  const auto whole = [&](const std::string& line, const std::string& rest = endMark) {
    return Outcome{kind.readingOf(line), true, rest, ErrorCode::CLOSED};
  };
  const Outcome noAnswer{kind.readingOf(""), false, "", ErrorCode::CLOSED};
  std::vector<Case> cases = {{"whole, then a close", {reply}, false, whole(reply, "")}};
  for (std::size_t k = 0; k < reply.size(); ++k) {
    std::string zero = reply;
    zero.insert(k, 1, '\0');
    cases.push_back({at("split", k), {reply.substr(0, k), reply.substr(k)}, true, whole(reply)});
    cases.push_back({at("zero byte", k), {zero}, true, whole(zero)});
    cases.push_back({at("cut", k), {reply.substr(0, k)}, false, noAnswer});
  }
  const std::string withGlued = reply + glued;
  for (std::size_t k = 1; k <= withGlued.size(); ++k) {
    cases.push_back({at("glued, split", k),
                     {withGlued.substr(0, k), withGlued.substr(k)},
                     true,
                     whole(reply, glued + endMark)});
  }
  for (int i = 0; i < 5; ++i) {
    cases.push_back({"random pieces", randomPieces(reply, random), true, whole(reply)});
  }
  if (reply != kind.replies[0]) return cases;
  // The first reply, one key longer, `length` bytes with its "\n".
  const auto padded = [&](std::size_t length) {
    return reply.substr(0, reply.size() - 1) +
           " PAD=" + std::string(length - reply.size() - 5, 'x') + "\n";
  };
  const std::size_t bound = I2pSocket::maxReplyLength;
  const std::string zeros = std::string(100, '\0') + "\n", over = padded(bound + 1);
  // Over the bound the client gives up before the bridge closes.
  const Outcome tooLong{kind.readingOf(""), false, "", ErrorCode::PROTOCOL};
  cases.push_back({"at the bound", {padded(bound)}, true, whole(padded(bound))});
  // Its "\n" comes in the receive that crosses the bound.
  cases.push_back({"a byte over the bound",
                   {over.substr(0, bound - 9), over.substr(bound - 9)},
                   false,
                   tooLong});
  cases.push_back({"no newline", {std::string(bound + 1, 'A')}, false, tooLong});
  cases.push_back({"a megabyte of spaces",
                   {reply.substr(0, 20), std::string(1 << 20, ' ') + "\n"},
                   false,
                   tooLong});
  cases.push_back({"only zero bytes", {zeros}, true, whole(zeros)});
  return cases;
}

TEST(HostileBridgeTest, EveryReplyOfEveryRequestUnderEveryDelivery) {
  const int descriptorsBefore = velqor_test::openDescriptors();
  {
    std::mutex mutex;
    std::string prefix;  // of the request the current case answers; a HELLO otherwise gets OK
    Case current;
    velqor_test::FakeBridge bridge;
    bridge.on("", [&](velqor_test::BridgeConnection& conn, const std::string& line) {
      std::unique_lock<std::mutex> lock(mutex);
      if (line.compare(0, prefix.size(), prefix) != 0) {
        return conn.send("HELLO REPLY RESULT=OK VERSION=3.1\n");
      }
      std::vector<std::string> pieces = current.pieces;
      if (current.marked) pieces.push_back(endMark);
      lock.unlock();
      conn.sendSplit(pieces);
      conn.close();
    });
    const auto play = [&](const std::string& request, const Case& c) {
      std::lock_guard<std::mutex> lock(mutex);
      prefix = request;
      current = c;
    };

    // The premise: each piece reaches the client in a receive of its own.
    const Case premise = {"", {"STREAM STA", "T", "US RESULT=OK\n", glued}, true, {}};
    play("PIECES", premise);
    I2pSocket probe("127.0.0.1", bridge.port());
    probe.write("PIECES\n");
    for (const std::string& piece : premise.pieces) ASSERT_EQ(probe.read(), piece);

    std::mt19937 random(20240601);
    for (const Kind& kind : kinds()) {
      for (const std::string& reply : kind.replies) {
        for (const Case& c : casesOf(kind, reply, random)) {
          play(kind.prefix, c);
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
