// Stream sessions and their requests, against the scripted fake bridge over loopback.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <velqor/sam.hpp>

#include "fake_bridge.hpp"

namespace {

using SAM::I2pSocket;
using SAM::Message;
using SAM::StreamSession;
using velqor_test::BridgeConnection;
using velqor_test::FakeBridge;
using velqor_test::testKeyPriv;
using velqor_test::testKeyPub;

const char* const kHost = "127.0.0.1";
const std::string kHelloOk = "HELLO REPLY RESULT=OK VERSION=3.1\n";
const std::string kStreamOk = "STREAM STATUS RESULT=OK\n";

std::string sessionCreateLine(const std::string& id, const std::string& destination,
                              const std::string& nickname, const std::string& options) {
  return "SESSION CREATE STYLE=STREAM ID=" + id + " DESTINATION=" + destination +
         " SIGNATURE_TYPE=EdDSA_SHA512_Ed25519 inbound.nickname=" + nickname + " " + options + "\n";
}

// Answers each line of `prefix` with an OK status and then echoes the stream until the
// client closes it.
void echoAfterOk(FakeBridge& bridge, const std::string& prefix) {
  bridge.on(prefix, [](BridgeConnection& c, const std::string&) {
    c.send(kStreamOk);
    for (std::string piece = c.readSome(); !piece.empty(); piece = c.readSome()) c.send(piece);
  });
}

// True when `socket` carries bytes both ways (through an echoing bridge connection).
bool echoes(I2pSocket& socket, const std::string& text) {
  socket.write(text);
  std::string back;
  while (back.size() < text.size()) {
    const std::string piece = socket.read();
    if (piece.empty()) return false;
    back += piece;
  }
  return back == text;
}

TEST(StreamSessionTest, CreationLineAndDestination) {
  struct Case {
    std::string destination;
    std::string options;
    std::string signatureType;
    bool generated;
  };
  const std::vector<Case> cases = {
      {"TRANSIENT", "inbound.length=0 outbound.length=0", "EdDSA_SHA512_Ed25519", true},
      {"transient", "", "", false},
      {testKeyPriv(), "i2cp.leaseSetType=1", "DSA_SHA1", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.destination.substr(0, 20) + " / " + c.signatureType);
    FakeBridge bridge;
    StreamSession session("nick", kHost, bridge.port(), c.destination, c.options, c.signatureType);
    EXPECT_FALSE(session.isSick());
    EXPECT_EQ(bridge.linesStartingWith("SESSION CREATE"),
              std::vector<std::string>{
                  sessionCreateLine(session.getSessionID(), c.destination, "nick", c.options)});
    const SAM::FullDestination& mine = session.getMyDestination();
    EXPECT_EQ(mine.priv, testKeyPriv());
    EXPECT_EQ(mine.pub, testKeyPub());
    EXPECT_EQ(mine.isGenerated, c.generated);
    EXPECT_EQ(session.getNickname(), "nick");
    EXPECT_EQ(session.getOptions(), c.options);
    EXPECT_EQ(session.getSAMHost(), kHost);
    EXPECT_EQ(session.getSAMPort(), bridge.port());
    EXPECT_EQ(ntohs(session.getSAMAddress().sin_port), bridge.port());
    EXPECT_EQ(session.getSAMVersion(), "3.1");
    EXPECT_EQ(session.getSAMMinVer(), "3.0");
    EXPECT_EQ(session.getSAMMaxVer(), "3.1");
    EXPECT_EQ(bridge.connectionCount(), 1);
  }
}

TEST(StreamSessionTest, CreationReplies) {
  struct Case {
    const char* what;
    FakeBridge::Handler reply;
    bool sick;
    std::string pub;
    std::string priv;
  };
  auto send = [](const std::string& text) {
    return [text](BridgeConnection& c, const std::string&) { c.send(text); };
  };
  const std::string shortKey = "SHORTKEY";
  const std::vector<Case> cases = {
      {"OK without DESTINATION", send("SESSION STATUS RESULT=OK\n"), false, "", ""},
      {"short destination", send("SESSION STATUS RESULT=OK DESTINATION=" + shortKey + "\n"), false,
       shortKey, shortKey},
      {"split reply",
       [](BridgeConnection& c, const std::string&) {
         c.sendSplit({"SESSION STATUS RESULT=OK DEST", "INATION=" + testKeyPriv().substr(0, 300),
                      testKeyPriv().substr(300) + "\n"});
       },
       false, testKeyPub(), testKeyPriv()},
      {"refused", send("SESSION STATUS RESULT=DUPLICATED_ID\n"), true, "", ""},
      {"error", send("SESSION STATUS RESULT=I2P_ERROR MESSAGE=\"Unknown STYLE\"\n"), true, "", ""},
      {"unknown result", send("SESSION STATUS RESULT=MAYBE DESTINATION=X\n"), true, "", ""},
      {"closed", [](BridgeConnection& c, const std::string&) { c.close(); }, true, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeBridge bridge;
    bridge.on("SESSION CREATE", c.reply);
    StreamSession session("nick", kHost, bridge.port());
    EXPECT_EQ(session.isSick(), c.sick);
    EXPECT_EQ(session.getMyDestination().pub, c.pub);
    EXPECT_EQ(session.getMyDestination().priv, c.priv);
    if (c.sick) {
      EXPECT_FALSE(session.getMyDestination().isGenerated);
    }
  }
}

TEST(StreamSessionTest, UnreachableBridgeMakesASickSession) {
  const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(holder, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  socklen_t len = sizeof addr;
  ASSERT_EQ(getsockname(holder, reinterpret_cast<sockaddr*>(&addr), &len), 0);

  StreamSession session("nick", kHost, ntohs(addr.sin_port));
  EXPECT_TRUE(session.isSick());
  EXPECT_EQ(session.getMyDestination().priv, "");
  EXPECT_EQ(session.getSAMVersion(), "");
  EXPECT_FALSE(session.namingLookup("x.i2p").isOk);
  ::close(holder);
}

TEST(StreamSessionTest, IdentifiersAreRandomLetters) {
  std::set<std::string> seen;
  std::set<std::size_t> lengths;
  for (int i = 0; i < 2000; ++i) {
    const std::string id = StreamSession::generateSessionID();
    ASSERT_GE(id.size(), 5u);
    ASSERT_LE(id.size(), 8u);
    ASSERT_EQ(id.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ"), std::string::npos) << id;
    seen.insert(id);
    lengths.insert(id.size());
  }
  EXPECT_GE(seen.size(), 1990u);  // drawn within one second, yet (almost) all different
  EXPECT_EQ(lengths, (std::set<std::size_t>{5, 6, 7, 8}));
}

TEST(StreamSessionTest, SessionsMadeTogetherGetDifferentIdentifiersAndLeaveRandAlone) {
  std::srand(42);
  std::vector<int> expected;
  for (int i = 0; i < 8; ++i) expected.push_back(std::rand());

  std::srand(42);
  FakeBridge bridge;
  StreamSession first("one", kHost, bridge.port());
  StreamSession second("two", kHost, bridge.port());
  StreamSession::generateSessionID();
  std::vector<int> drawn;
  for (int i = 0; i < 8; ++i) drawn.push_back(std::rand());

  EXPECT_NE(first.getSessionID(), second.getSessionID());
  EXPECT_EQ(drawn, expected);
}

enum class Kind { Accept, Connect, Forward, Lookup, Generate };

// Name and request-line prefix of each kind, in the order of Kind.
const char* const kKindNames[] = {"accept", "connect", "forward", "namingLookup", "destGenerate"};
const char* const kKindPrefixes[] = {"STREAM ACCEPT", "STREAM CONNECT", "STREAM FORWARD",
                                     "NAMING LOOKUP", "DEST GENERATE"};

// The RESULT text that stands for `status` in a reply (NO_ANSWER and SOCKET_NOT_OK come
// from no reply at all).
std::string resultText(Message::eStatus status) {
  static const char* const bridgeCodes[] = {
      "DUPLICATED_DEST", "DUPLICATED_ID",   "I2P_ERROR",        "INVALID_ID",
      "INVALID_KEY",     "CANT_REACH_PEER", "TIMEOUT",          "NOVERSION",
      "KEY_NOT_FOUND",   "PEER_NOT_FOUND",  "ALREADY_ACCEPTING"};
  if (status == Message::OK) return "OK";
  if (status < Message::DUPLICATED_DEST) return "SOMETHING_ELSE";
  return bridgeCodes[status - Message::DUPLICATED_DEST];
}

std::string replyFor(Kind kind, Message::eStatus status) {
  switch (kind) {
    case Kind::Lookup:
      return "NAMING REPLY RESULT=" + resultText(status) + " NAME=site.i2p VALUE=" + testKeyPub() +
             "\n";
    case Kind::Generate:
      return "DEST REPLY PUB=" + testKeyPub() + " PRIV=" + testKeyPriv() + "\n";
    default:
      return "STREAM STATUS RESULT=" + resultText(status) + "\n";
  }
}

// Runs the member request of `kind`; returns isOk, and checks that the value is set exactly
// when it is.
bool runMember(StreamSession& session, Kind kind) {
  switch (kind) {
    case Kind::Accept:
    case Kind::Connect: {
      auto result = kind == Kind::Accept ? session.accept(false) : session.connect("peer", false);
      EXPECT_EQ(result.value != nullptr, result.isOk);
      if (result.value) {
        EXPECT_TRUE(result.value->isOk());
      }
      return result.isOk;
    }
    case Kind::Forward:
      return session.forward(kHost, 8080, true).isOk;
    case Kind::Lookup: {
      auto result = session.namingLookup("site.i2p");
      EXPECT_EQ(result.value, result.isOk ? testKeyPub() : "");
      return result.isOk;
    }
    case Kind::Generate: {
      auto result = session.destGenerate();
      EXPECT_EQ(result.value.priv, result.isOk ? testKeyPriv() : "");
      EXPECT_EQ(result.value.pub, result.isOk ? testKeyPub() : "");
      EXPECT_EQ(result.value.isGenerated, result.isOk);
      return result.isOk;
    }
  }
  return false;
}

Message::eStatus runStatic(I2pSocket& socket, Kind kind) {
  switch (kind) {
    case Kind::Accept:
      return StreamSession::accept(socket, "SID", false);
    case Kind::Connect:
      return StreamSession::connect(socket, "SID", "peer", false);
    case Kind::Forward:
      return StreamSession::forward(socket, "SID", kHost, 8080, true);
    case Kind::Lookup:
      return StreamSession::namingLookup(socket, "site.i2p").status;
    case Kind::Generate:
      return StreamSession::destGenerate(socket).status;
  }
  return Message::OK;
}

// For every request and every status it can end with: whether it succeeds, whether the
// session falls sick, and what the static form reports.
TEST(StreamSessionTest, SickTable) {
  const std::vector<Kind> kinds = {Kind::Accept, Kind::Connect, Kind::Forward, Kind::Lookup,
                                   Kind::Generate};
  for (Kind kind : kinds) {
    const bool streamRequest =
        kind == Kind::Accept || kind == Kind::Connect || kind == Kind::Forward;
    const int lastStatus =
        kind == Kind::Generate ? Message::SOCKET_NOT_OK : Message::ALREADY_ACCEPTING;
    for (int s = Message::OK; s <= lastStatus; ++s) {
      const auto status = static_cast<Message::eStatus>(s);
      SCOPED_TRACE(std::string(kKindNames[static_cast<int>(kind)]) + " status " +
                   std::to_string(s));
      FakeBridge bridge;
      // SOCKET_NOT_OK: every connection after the control one fails its handshake.
      bridge.on("HELLO VERSION", [status](BridgeConnection& c, const std::string&) {
        if (status == Message::SOCKET_NOT_OK && c.id() > 0) {
          c.close();
        } else {
          c.send(kHelloOk);
        }
      });
      bridge.on(kKindPrefixes[static_cast<int>(kind)],
                [kind, status](BridgeConnection& c, const std::string&) {
                  if (status == Message::NO_ANSWER) {
                    c.close();
                  } else {
                    c.send(replyFor(kind, status));
                  }
                });
      StreamSession session("table", kHost, bridge.port());
      ASSERT_FALSE(session.isSick());

      const bool sickExpected =
          status == Message::NO_ANSWER || status == Message::SOCKET_NOT_OK ||
          (streamRequest && (status == Message::I2P_ERROR || status == Message::INVALID_ID));
      EXPECT_EQ(runMember(session, kind), status == Message::OK);
      EXPECT_EQ(session.isSick(), sickExpected);
      // The request's connection is closed unless it now carries a stream or a forward.
      if (status != Message::OK || kind == Kind::Lookup || kind == Kind::Generate) {
        bridge.waitUntilClosed(1);
      }

      I2pSocket socket(kHost, bridge.port());
      EXPECT_EQ(runStatic(socket, kind), status);
    }
  }
}

TEST(StreamSessionTest, DestGenerateNeedsBothKeys) {
  const std::string pub = testKeyPub();
  const std::string priv = testKeyPriv();
  struct Case {
    std::string reply;
    bool ok;
  };
  const std::vector<Case> cases = {
      {"DEST REPLY PUB=" + pub + " PRIV=" + priv + "\n", true},
      {"DEST REPLY RESULT=I2P_ERROR PUB=" + pub + " PRIV=" + priv + "\n", true},
      {"DEST REPLY PRIV=" + priv + " PUB=" + pub + "\n", true},
      {"DEST REPLY PUB=" + pub + "\n", false},
      {"DEST REPLY PRIV=" + priv + "\n", false},
      {"DEST REPLY PUB= PRIV=" + priv + "\n", false},
      {"DEST REPLY RESULT=OK\n", false},
      {"DEST REPLY PUB=" + pub + "\nPRIV=" + priv + "\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply.substr(0, 40));
    FakeBridge bridge;
    bridge.on("DEST GENERATE", c.reply);
    StreamSession session("gen", kHost, bridge.port());
    const auto result = session.destGenerate();
    EXPECT_EQ(result.isOk, c.ok);
    EXPECT_EQ(session.isSick(), !c.ok);
    EXPECT_EQ(result.value.pub, c.ok ? pub : "");
    EXPECT_EQ(result.value.priv, c.ok ? priv : "");
    EXPECT_EQ(session.getMyDestination().priv, testKeyPriv());  // unchanged
    EXPECT_EQ(bridge.linesStartingWith("DEST GENERATE"),
              std::vector<std::string>{"DEST GENERATE\n"});
  }
}

TEST(StreamSessionTest, ArgumentsThatWouldStartASecondCommandAreRefused) {
  const std::vector<std::string> bad = {"x\ny", "x\ry", std::string("x\0y", 3)};
  FakeBridge bridge;
  bridge.on("NAMING LOOKUP", "NAMING REPLY RESULT=OK NAME=x VALUE=v\n");
  bridge.on("STREAM", kStreamOk);
  StreamSession session("nick", kHost, bridge.port());
  ASSERT_FALSE(session.isSick());
  const std::size_t linesBefore = bridge.lines().size();
  for (const auto& b : bad) {
    SCOPED_TRACE(testing::PrintToString(b));
    EXPECT_FALSE(session.connect(b, true).isOk);
    EXPECT_FALSE(session.forward(b, 80, true).isOk);
    EXPECT_FALSE(session.namingLookup(b).isOk);
    EXPECT_FALSE(session.isSick());
    EXPECT_EQ(bridge.connectionCount(), 1);
    EXPECT_EQ(bridge.lines().size(), linesBefore);
  }

  for (const auto& b : bad) {
    SCOPED_TRACE(testing::PrintToString(b));
    FakeBridge other;
    StreamSession byNickname(b, kHost, other.port());
    StreamSession byOptions("nick", kHost, other.port(), "TRANSIENT", "a=1" + b + "b=2");
    StreamSession byDestination("nick", kHost, other.port(), b);
    EXPECT_TRUE(byNickname.isSick());
    EXPECT_TRUE(byOptions.isSick());
    EXPECT_TRUE(byDestination.isSick());
    EXPECT_TRUE(other.linesStartingWith("SESSION").empty());
  }
}

TEST(StreamSessionTest, StopForwardingEndsEveryMatchAndNothingElse) {
  FakeBridge bridge;
  bridge.on("STREAM FORWARD", kStreamOk);
  {
    StreamSession session("fwd", kHost, bridge.port());
    const std::string id = session.getSessionID();
    ASSERT_TRUE(session.forward("127.0.0.1", 5000, true).isOk);   // connection 1
    ASSERT_TRUE(session.forward("127.0.0.1", 5000, false).isOk);  // connection 2
    ASSERT_TRUE(session.forward("127.0.0.1", 5001, true).isOk);   // connection 3
    ASSERT_TRUE(session.forward("127.0.0.2", 5000, true).isOk);   // connection 4
    EXPECT_EQ(bridge.linesStartingWith("STREAM FORWARD"),
              (std::vector<std::string>{
                  "STREAM FORWARD ID=" + id + " PORT=5000 HOST=127.0.0.1 SILENT=true\n",
                  "STREAM FORWARD ID=" + id + " PORT=5000 HOST=127.0.0.1 SILENT=false\n",
                  "STREAM FORWARD ID=" + id + " PORT=5001 HOST=127.0.0.1 SILENT=true\n",
                  "STREAM FORWARD ID=" + id + " PORT=5000 HOST=127.0.0.2 SILENT=true\n"}));

    session.stopForwarding("127.0.0.1", 5002);
    session.stopForwarding("127.0.0.3", 5000);
    session.stopForwarding("127.0.0.1", 5000);
    bridge.waitUntilClosed(1);
    bridge.waitUntilClosed(2);
    session.stopForwarding("127.0.0.1", 5000);
    for (int id = 0; id <= 4; ++id) {
      EXPECT_EQ(bridge.isConnectionClosed(id), id == 1 || id == 2) << "connection " << id;
    }
    EXPECT_EQ(bridge.linesStartingWith("STREAM FORWARD").size(), 4u);
  }
  // Destruction ends the remaining forwards and the session itself.
  for (int id : {0, 3, 4}) bridge.waitUntilClosed(id);
}

TEST(StreamSessionTest, StopForwardingAllLeavesHandedOutStreamsOpen) {
  FakeBridge bridge;
  bridge.on("STREAM FORWARD", kStreamOk);
  echoAfterOk(bridge, "STREAM ACCEPT");
  echoAfterOk(bridge, "STREAM CONNECT");
  StreamSession session("all", kHost, bridge.port());
  ASSERT_TRUE(session.forward(kHost, 6000, true).isOk);  // connection 1
  auto accepted = session.accept(false);                 // connection 2
  auto connected = session.connect("peer", false);       // connection 3
  ASSERT_TRUE(session.forward(kHost, 6001, true).isOk);  // connection 4
  ASSERT_TRUE(accepted.isOk);
  ASSERT_TRUE(connected.isOk);

  session.stopForwardingAll();
  for (int id : {0, 1, 4}) bridge.waitUntilClosed(id);
  EXPECT_TRUE(echoes(*accepted.value, "accepted stream"));
  EXPECT_TRUE(echoes(*connected.value, "connected stream"));
  EXPECT_FALSE(session.isSick());
  session.stopForwardingAll();  // nothing left to stop
  EXPECT_TRUE(echoes(*connected.value, "still open"));

  std::unique_ptr<I2pSocket> kept;
  {
    StreamSession shortLived("short", kHost, bridge.port());    // connection 5
    ASSERT_TRUE(shortLived.forward(kHost, 6002, true).isOk);    // connection 6
    kept = std::move(shortLived.connect("peer", false).value);  // connection 7
    ASSERT_TRUE(kept);
  }
  bridge.waitUntilClosed(5);
  bridge.waitUntilClosed(6);
  EXPECT_TRUE(echoes(*kept, "outlives its session"));
}

TEST(StreamSessionTest, RebuildTakesTheSameDestinationUnderANewIdentifier) {
  FakeBridge bridge;
  bridge.on("STREAM FORWARD", kStreamOk);
  StreamSession failed("nick", kHost, bridge.port(), "TRANSIENT", "inbound.length=0");
  ASSERT_TRUE(failed.forward("127.0.0.1", 7001, true).isOk);   // connection 1
  ASSERT_TRUE(failed.forward("127.0.0.1", 7002, false).isOk);  // connection 2

  StreamSession rebuilt(failed);  // control connection 3, forwards 4 and 5
  EXPECT_TRUE(failed.isSick());
  EXPECT_FALSE(rebuilt.isSick());
  bridge.waitUntilClosed(0);
  EXPECT_FALSE(bridge.isConnectionClosed(1));  // the old forwards stay until `failed` ends
  EXPECT_FALSE(bridge.isConnectionClosed(2));

  const std::string id = rebuilt.getSessionID();
  EXPECT_NE(id, failed.getSessionID());
  EXPECT_EQ(rebuilt.getMyDestination().pub, failed.getMyDestination().pub);
  EXPECT_EQ(rebuilt.getMyDestination().priv, testKeyPriv());
  EXPECT_TRUE(rebuilt.getMyDestination().isGenerated);
  EXPECT_EQ(rebuilt.getNickname(), "nick");
  EXPECT_EQ(rebuilt.getOptions(), "inbound.length=0");

  const auto creates = bridge.linesStartingWith("SESSION CREATE");
  ASSERT_EQ(creates.size(), 2u);
  EXPECT_EQ(creates[1], sessionCreateLine(id, testKeyPriv(), "nick", "inbound.length=0"));
  const auto forwards = bridge.linesStartingWith("STREAM FORWARD");
  ASSERT_EQ(forwards.size(), 4u);
  EXPECT_EQ(forwards[2], "STREAM FORWARD ID=" + id + " PORT=7001 HOST=127.0.0.1 SILENT=true\n");
  EXPECT_EQ(forwards[3], "STREAM FORWARD ID=" + id + " PORT=7002 HOST=127.0.0.1 SILENT=false\n");
}

TEST(StreamSessionTest, StreamBytesGluedToTheStatusLineAreKept) {
  FakeBridge bridge;
  const std::string page = "HTTP/1.1 200 OK\r\n\r\nbody";
  const std::string peerLine = testKeyPub() + " FROM_PORT=0 TO_PORT=0\n";
  // Each stream ends after its bytes, so lost bytes show as a short read, not as a wait.
  auto sendThenEnd = [](const std::string& bytes) {
    return [bytes](BridgeConnection& c, const std::string&) {
      c.send(bytes);
      c.shutdownWrite();
    };
  };
  bridge.on("STREAM CONNECT", sendThenEnd(kStreamOk + page));
  bridge.on("STREAM ACCEPT", sendThenEnd(kStreamOk + peerLine + "GET / HTTP/1.1\r\n"));
  bridge.on("STREAM CONNECT ID=split", [](BridgeConnection& c, const std::string&) {
    c.sendSplit({"STREAM STATUS RES", "ULT=OK\n", "late"});
    c.shutdownWrite();
  });
  StreamSession session("glue", kHost, bridge.port());

  auto connected = session.connect("peer", false);
  ASSERT_TRUE(connected.isOk);
  std::string got;
  while (got.size() < page.size()) {
    const std::string piece = connected.value->read();
    if (piece.empty()) break;
    got += piece;
  }
  EXPECT_EQ(got, page);

  auto accepted = session.accept(false);
  ASSERT_TRUE(accepted.isOk);
  EXPECT_EQ(accepted.value->readLine(), peerLine);
  EXPECT_EQ(accepted.value->readLine(), "GET / HTTP/1.1\r\n");

  I2pSocket socket(kHost, bridge.port());
  EXPECT_EQ(StreamSession::connect(socket, "split", "peer", false), Message::OK);
  EXPECT_EQ(socket.read(), "late");
}

// With SILENT=true a real bridge sends no status line: the stream's bytes come at once, and a
// failed stream is a closed connection. Reading a reply there would eat the peer's first line.
TEST(StreamSessionTest, SilentStreamsReadNoStatusLine) {
  FakeBridge bridge;
  auto peerSpeaks = bridge.makeGate();
  bridge.on("STREAM CONNECT ID", [](BridgeConnection& c, const std::string&) {
    c.send("hello\n");
    c.shutdownWrite();
  });
  bridge.on("STREAM ACCEPT", [peerSpeaks](BridgeConnection& c, const std::string&) {
    peerSpeaks->wait();  // no peer yet: the accept must return without any byte
    c.send("abc");
    c.shutdownWrite();
  });
  bridge.on("STREAM CONNECT ID=gone", [](BridgeConnection& c, const std::string&) { c.close(); });
  StreamSession session("silent", kHost, bridge.port());

  auto connected = session.connect("peer", true);
  ASSERT_TRUE(connected.isOk);
  EXPECT_EQ(connected.value->readLine(), "hello\n");

  auto accepted = session.accept(true);
  ASSERT_TRUE(accepted.isOk);
  peerSpeaks->open();
  EXPECT_EQ(accepted.value->read(), "abc");
  EXPECT_EQ(accepted.value->read(), "");

  // A stream that does not come about shows only as its end.
  I2pSocket socket(kHost, bridge.port());
  EXPECT_EQ(StreamSession::connect(socket, "gone", "peer", true), Message::OK);
  EXPECT_EQ(socket.read(), "");
  EXPECT_FALSE(session.isSick());
  EXPECT_EQ(bridge
                .linesStartingWith("STREAM CONNECT ID=" + session.getSessionID() +
                                   " DESTINATION=peer SILENT=true\n")
                .size(),
            1u);
}

}  // namespace
