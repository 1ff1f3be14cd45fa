// The bridge connection and stream sessions over loopback, against the scripted fake bridge.
#include <arpa/inet.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
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
const std::string kOptions = "inbound.length=0 outbound.length=0";

// Sends `bytes` as they stand; with `thenEnd` the stream then ends, so lost bytes show as a
// short read rather than as a wait.
FakeBridge::Handler reply(const std::string& bytes, bool thenEnd = false) {
  return [bytes, thenEnd](BridgeConnection& c, const std::string&) {
    c.send(bytes);
    if (thenEnd) c.shutdownWrite();
  };
}

std::string readToEnd(I2pSocket& socket) {
  std::string all;
  for (std::string piece = socket.read(); !piece.empty(); piece = socket.read()) all += piece;
  return all;
}

std::string sessionCreateLine(const std::string& id, const std::string& destination) {
  return "SESSION CREATE STYLE=STREAM ID=" + id + " DESTINATION=" + destination +
         " SIGNATURE_TYPE=EdDSA_SHA512_Ed25519 inbound.nickname=nick " + kOptions + "\n";
}

TEST(I2pSocketTest, HandshakeOutcomes) {
  struct Case {
    const char* what;
    FakeBridge::Handler hello;
    bool open;
    std::string version;
  };
  const std::vector<Case> cases = {
      {"ready", reply(kHelloOk), true, "3.1"},
      {"refused, kept open", reply("HELLO REPLY RESULT=NOVERSION\n"), true, ""},
      {"closed at once", [](BridgeConnection& c, const std::string&) { c.close(); }, false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeBridge bridge;
    bridge.on("HELLO VERSION", c.hello);
    I2pSocket socket(kHost, bridge.port());
    EXPECT_EQ(socket.isOk(), c.open);
    EXPECT_EQ(socket.getVersion(), c.version);
    EXPECT_EQ(bridge.lines(), std::vector<std::string>{"HELLO VERSION MIN=3.0 MAX=3.1\n"});
  }
}

TEST(I2pSocketTest, ReadKeepsBytesAfterTheLineAndZeroBytes) {
  const std::string zeros("\0\0ab\0c", 6);
  FakeBridge bridge;
  bridge.on("HELLO VERSION", [zeros](BridgeConnection& c, const std::string&) {
    c.sendSplit({kHelloOk + "LINE ONE\nLINE TWO\nstream ", zeros});
    c.shutdownWrite();
  });
  I2pSocket socket(kHost, bridge.port());
  ASSERT_EQ(socket.getVersion(), "3.1");
  EXPECT_EQ(socket.readLine(), "LINE ONE\n");
  EXPECT_EQ(socket.readLine(), "LINE TWO\n");
  // The zeros come in a receive of their own, so that read starts with a zero byte.
  EXPECT_EQ(readToEnd(socket), "stream " + zeros);
}

TEST(I2pSocketTest, ReplyLinesAreBounded) {
  const std::size_t max = I2pSocket::maxReplyLength;
  const std::vector<std::pair<std::string, bool>> cases = {
      {std::string(max - 1, 'a') + "\n", true},
      {std::string(max, 'a') + "\n", false},
      {std::string(3 * max, 'a'), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first.size());
    FakeBridge bridge;
    // Only the accepted line ends the stream: the others must be refused by the bound alone.
    bridge.on("HELLO VERSION", reply(kHelloOk + c.first, c.second));
    I2pSocket socket(kHost, bridge.port());
    ASSERT_EQ(socket.getVersion(), "3.1");
    EXPECT_EQ(socket.readLine(), c.second ? c.first : "");
    EXPECT_EQ(socket.isOk(), c.second);
    if (!c.second) bridge.waitUntilClosed(0);
  }
}

void ignoreSignal(int) {}

TEST(I2pSocketTest, WriteSendsEverythingThroughInterruptions) {
  // The bridge reads in small pieces and signals the writer after each one; without
  // SA_RESTART the blocked send returns short counts or EINTR again and again.
  struct sigaction action {};
  struct sigaction previous {};
  action.sa_handler = ignoreSignal;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

  const pthread_t writer = pthread_self();
  std::atomic<bool> writing{false};
  std::string received;
  FakeBridge bridge;
  auto done = bridge.makeGate();
  bridge.on("HELLO VERSION",
            [&received, &writing, writer, done](BridgeConnection& c, const std::string&) {
              c.send(kHelloOk);
              for (std::string piece = c.readSome(1024); !piece.empty(); piece = c.readSome(1024)) {
                received += piece;
                if (writing) pthread_kill(writer, SIGUSR1);
              }
              done->open();
            });

  std::string data(8 << 20, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i % 251);
  I2pSocket socket(kHost, bridge.port());
  writing = true;
  socket.write(data);
  writing = false;
  EXPECT_TRUE(socket.isOk());
  socket.close();
  done->wait();
  sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_TRUE(received == data) << received.size() << " of " << data.size() << " bytes";
}

TEST(I2pSocketTest, WriteToAResetPeerClosesWithoutSigpipe) {
  // SIGPIPE is blocked, so a send that raises it leaves it pending instead of ending the test.
  sigset_t pipeOnly, previousMask, pending;
  sigemptyset(&pipeOnly);
  sigaddset(&pipeOnly, SIGPIPE);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &pipeOnly, &previousMask), 0);

  FakeBridge bridge;
  bridge.on("HELLO VERSION", [](BridgeConnection& c, const std::string&) {
    c.send(kHelloOk);
    c.close();
  });
  I2pSocket socket(kHost, bridge.port());
  EXPECT_EQ(socket.getVersion(), "3.1");
  bridge.waitUntilClosed(0);
  // The first bytes reach the closed peer, which answers with a reset; a later send fails.
  for (int i = 0; i < 1000 && socket.isOk(); ++i) socket.write(std::string(64 * 1024, 'x'));
  EXPECT_FALSE(socket.isOk());

  sigpending(&pending);
  const bool raised = sigismember(&pending, SIGPIPE) == 1;
  const timespec now{0, 0};
  if (raised) sigtimedwait(&pipeOnly, nullptr, &now);
  pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
  EXPECT_FALSE(raised) << "a send raised SIGPIPE";
}

TEST(StreamSessionTest, Creation) {
  struct Case {
    std::string destination, signatureType, reply;  // an empty reply closes the connection
    bool sick;
  };
  const std::string ok = "SESSION STATUS RESULT=OK DESTINATION=" + testKeyPriv() + "\n";
  const std::vector<Case> cases = {
      {"TRANSIENT", "EdDSA_SHA512_Ed25519", ok, false},
      {testKeyPriv(), "DSA_SHA1", ok, false},  // the signature type argument is not read
      {"TRANSIENT", "", "SESSION STATUS RESULT=DUPLICATED_ID\n", true},
      {"TRANSIENT", "", "SESSION STATUS RESULT=MAYBE DESTINATION=X\n", true},
      {"TRANSIENT", "", "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    FakeBridge bridge;
    bridge.on("SESSION CREATE", [text = c.reply](BridgeConnection& conn, const std::string&) {
      text.empty() ? conn.close() : conn.send(text);
    });
    StreamSession session("nick", kHost, bridge.port(), c.destination, kOptions, c.signatureType);
    const SAM::FullDestination& mine = session.getMyDestination();
    EXPECT_EQ(session.isSick(), c.sick);
    EXPECT_EQ(bridge.linesStartingWith("SESSION CREATE"),
              std::vector<std::string>{sessionCreateLine(session.getSessionID(), c.destination)});
    EXPECT_EQ(mine.pub, c.sick ? "" : testKeyPub());
    EXPECT_EQ(mine.priv, c.sick ? "" : testKeyPriv());
    EXPECT_EQ(mine.isGenerated, !c.sick && c.destination == "TRANSIENT");
  }
}

TEST(StreamSessionTest, IdentifiersAreRandomLettersAndLeaveRandAlone) {
  std::srand(42);
  const int firstRand = std::rand();
  std::srand(42);
  FakeBridge bridge;
  StreamSession one("one", kHost, bridge.port());
  StreamSession two("two", kHost, bridge.port());
  EXPECT_NE(one.getSessionID(), two.getSessionID());
  std::set<std::string> seen;
  std::set<std::size_t> lengths;
  for (int i = 0; i < 2000; ++i) {
    const std::string id = StreamSession::generateSessionID();
    ASSERT_EQ(id.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ"), std::string::npos) << id;
    seen.insert(id);
    lengths.insert(id.size());
  }
  EXPECT_EQ(std::rand(), firstRand);
  EXPECT_GE(seen.size(), 1990u);  // drawn within one second, yet (almost) all different
  EXPECT_EQ(lengths, (std::set<std::size_t>{5, 6, 7, 8}));
}

// The RESULT word of each status, in the order of Message::eStatus; NO_ANSWER and
// SOCKET_NOT_OK come from no reply at all.
const char* const kResultWords =
    "OK - - SOMETHING_ELSE DUPLICATED_DEST DUPLICATED_ID I2P_ERROR INVALID_ID INVALID_KEY "
    "CANT_REACH_PEER TIMEOUT NOVERSION KEY_NOT_FOUND PEER_NOT_FOUND ALREADY_ACCEPTING";

// For every request and every status it can end with: whether the member form succeeds (with
// its value), whether the session falls sick, and what the static form reports.
TEST(StreamSessionTest, SickTable) {
  auto streamOk = [](SAM::RequestResult<std::unique_ptr<I2pSocket>> result) {
    EXPECT_EQ(result.value != nullptr && result.value->isOk(), result.isOk);
    return result.isOk;
  };
  struct Kind {
    std::string prefix, replyHead, replyTail;
    std::function<bool(StreamSession&)> member;
    std::function<Message::eStatus(I2pSocket&)> single;
  };
  const std::vector<Kind> kinds = {
      {"STREAM ACCEPT", "STREAM STATUS", "",
       [&](StreamSession& s) { return streamOk(s.accept(false)); },
       [](I2pSocket& s) { return StreamSession::accept(s, "SID", false); }},
      {"STREAM CONNECT", "STREAM STATUS", "",
       [&](StreamSession& s) { return streamOk(s.connect("peer", false)); },
       [](I2pSocket& s) { return StreamSession::connect(s, "SID", "peer", false); }},
      {"STREAM FORWARD", "STREAM STATUS", "",
       [](StreamSession& s) { return s.forward(kHost, 8080, true).isOk; },
       [](I2pSocket& s) { return StreamSession::forward(s, "SID", kHost, 8080, true); }},
      {"NAMING LOOKUP", "NAMING REPLY", " NAME=site.i2p VALUE=" + testKeyPub(),
       [](StreamSession& s) {
         const auto result = s.namingLookup("site.i2p");
         EXPECT_EQ(result.value, result.isOk ? testKeyPub() : "");
         return result.isOk;
       },
       [](I2pSocket& s) { return StreamSession::namingLookup(s, "site.i2p").status; }},
      {"DEST GENERATE", "DEST REPLY", " PUB=" + testKeyPub() + " PRIV=" + testKeyPriv(),
       [](StreamSession& s) {
         const auto result = s.destGenerate();
         EXPECT_EQ(result.value.pub, result.isOk ? testKeyPub() : "");
         EXPECT_EQ(result.value.priv, result.isOk ? testKeyPriv() : "");
         EXPECT_EQ(result.value.isGenerated, result.isOk);
         return result.isOk;
       },
       [](I2pSocket& s) { return StreamSession::destGenerate(s).status; }},
  };
  for (const Kind& kind : kinds) {
    const bool isStream = kind.prefix.compare(0, 6, "STREAM") == 0;
    // A generation reads no RESULT (see DestGenerateNeedsBothKeys).
    const int last =
        kind.prefix == "DEST GENERATE" ? Message::SOCKET_NOT_OK : Message::ALREADY_ACCEPTING;
    std::istringstream words(kResultWords);
    std::string word;
    for (int s = Message::OK; s <= last && words >> word; ++s) {
      const auto status = static_cast<Message::eStatus>(s);
      SCOPED_TRACE(kind.prefix + " status " + std::to_string(s));
      FakeBridge bridge;
      // SOCKET_NOT_OK: every connection after the control one fails its handshake.
      bridge.on("HELLO VERSION", [status](BridgeConnection& c, const std::string&) {
        (status == Message::SOCKET_NOT_OK && c.id() > 0) ? c.close() : c.send(kHelloOk);
      });
      const std::string text = kind.replyHead + " RESULT=" + word + kind.replyTail + "\n";
      bridge.on(kind.prefix, [status, text](BridgeConnection& c, const std::string&) {
        status == Message::NO_ANSWER ? c.close() : c.send(text);
      });
      StreamSession session("table", kHost, bridge.port());
      ASSERT_FALSE(session.isSick());

      const bool sick =
          status == Message::NO_ANSWER || status == Message::SOCKET_NOT_OK ||
          (isStream && (status == Message::I2P_ERROR || status == Message::INVALID_ID));
      EXPECT_EQ(kind.member(session), status == Message::OK);
      EXPECT_EQ(session.isSick(), sick);
      I2pSocket socket(kHost, bridge.port());
      EXPECT_EQ(kind.single(socket), status);
    }
  }
}

TEST(StreamSessionTest, DestGenerateNeedsBothKeys) {
  const std::string pub = "PUB=" + testKeyPub();
  const std::string priv = "PRIV=" + testKeyPriv();
  const std::vector<std::pair<std::string, bool>> cases = {
      {"DEST REPLY RESULT=I2P_ERROR " + pub + " " + priv + "\n", true},
      {"DEST REPLY " + pub + "\n", false},
      {"DEST REPLY " + priv + "\n", false},
      {"DEST REPLY PUB= " + priv + "\n", false},
      {"DEST REPLY " + pub + "\n" + priv + "\n", false},
  };
  FakeBridge bridge;
  bridge.on("DEST GENERATE",
            [&cases](BridgeConnection& c, const std::string&) { c.send(cases[c.id()].first); });
  for (const auto& c : cases) {
    I2pSocket socket(kHost, bridge.port());
    const auto answer = StreamSession::destGenerate(socket);
    EXPECT_EQ(answer.status, c.second ? Message::OK : Message::NO_ANSWER) << c.first;
    EXPECT_EQ(answer.value.priv, c.second ? testKeyPriv() : "");
  }
}

TEST(StreamSessionTest, StopForwardingEndsEveryMatchAndNothingElse) {
  FakeBridge bridge;
  bridge.on("STREAM FORWARD", kStreamOk);
  {
    StreamSession session("fwd", kHost, bridge.port());
    ASSERT_TRUE(session.forward("127.0.0.1", 5000, true).isOk);   // connection 1
    ASSERT_TRUE(session.forward("127.0.0.1", 5000, false).isOk);  // connection 2
    ASSERT_TRUE(session.forward("127.0.0.1", 5001, true).isOk);   // connection 3
    ASSERT_TRUE(session.forward("127.0.0.2", 5000, true).isOk);   // connection 4
    session.stopForwarding("127.0.0.1", 5000);
    bridge.waitUntilClosed(1);
    bridge.waitUntilClosed(2);
    for (int id : {0, 3, 4}) EXPECT_FALSE(bridge.isConnectionClosed(id)) << id;
  }
  for (int id : {0, 3, 4}) bridge.waitUntilClosed(id);  // destruction ends the rest
}

TEST(StreamSessionTest, RebuildTakesTheSameDestinationUnderANewIdentifier) {
  FakeBridge bridge;
  bridge.on("STREAM FORWARD", kStreamOk);
  StreamSession failed("nick", kHost, bridge.port(), "TRANSIENT", kOptions);
  ASSERT_TRUE(failed.forward(kHost, 7001, true).isOk);
  ASSERT_TRUE(failed.forward(kHost, 7002, false).isOk);

  StreamSession rebuilt(failed);
  EXPECT_TRUE(failed.isSick());
  EXPECT_FALSE(rebuilt.isSick());
  bridge.waitUntilClosed(0);
  const std::string id = rebuilt.getSessionID();
  EXPECT_NE(id, failed.getSessionID());
  EXPECT_EQ(rebuilt.getMyDestination().pub, testKeyPub());
  EXPECT_EQ(bridge.linesStartingWith("SESSION CREATE").back(),
            sessionCreateLine(id, testKeyPriv()));
  const auto forwards = bridge.linesStartingWith("STREAM FORWARD");
  ASSERT_EQ(forwards.size(), 4u);
  EXPECT_EQ(forwards[2], "STREAM FORWARD ID=" + id + " PORT=7001 HOST=127.0.0.1 SILENT=true\n");
  EXPECT_EQ(forwards[3], "STREAM FORWARD ID=" + id + " PORT=7002 HOST=127.0.0.1 SILENT=false\n");
}

// With SILENT=true a real bridge sends no status line: the stream's bytes come at once, and a
// failed stream is a closed connection. Reading a reply there would eat the peer's first line.
TEST(StreamSessionTest, SilentStreamsReadNoStatusLine) {
  FakeBridge bridge;
  auto peerSpeaks = bridge.makeGate();
  bridge.on("STREAM CONNECT ID", reply("hello\n", true));
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
  EXPECT_EQ(readToEnd(*accepted.value), "abc");

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

TEST(DescriptorLeakTest, RequestsGiveBackEveryDescriptor) {
  const int before = velqor_test::openDescriptors();
  {
    FakeBridge bridge;
    // Each kind is answered in turn with success, with a refusal, and by closing at once.
    auto inTurn = [&bridge](const std::string& prefix, const std::string& ok,
                            const std::string& refusal) {
      bridge.on(prefix, [ok, refusal](BridgeConnection& c, const std::string&) {
        c.id() % 3 == 2 ? c.close() : c.send(c.id() % 3 == 0 ? ok : refusal);
      });
    };
    inTurn("STREAM ACCEPT", kStreamOk, "STREAM STATUS RESULT=I2P_ERROR\n");
    inTurn("STREAM CONNECT", kStreamOk, "STREAM STATUS RESULT=CANT_REACH_PEER\n");
    inTurn("STREAM FORWARD", kStreamOk, "STREAM STATUS RESULT=INVALID_ID\n");
    inTurn("NAMING LOOKUP", "NAMING REPLY RESULT=OK NAME=a VALUE=" + testKeyPub() + "\n",
           "NAMING REPLY RESULT=KEY_NOT_FOUND NAME=a\n");
    inTurn("DEST GENERATE", "DEST REPLY PUB=" + testKeyPub() + " PRIV=" + testKeyPriv() + "\n",
           "DEST REPLY RESULT=I2P_ERROR\n");

    StreamSession session("leak", kHost, bridge.port());
    int succeeded = 0;
    for (int i = 0; i < 1000; ++i) {
      succeeded += session.accept(true).isOk;
      succeeded += session.connect("peer", false).isOk;
      succeeded += session.namingLookup("a").isOk;
      succeeded += session.destGenerate().isOk;
      if (session.forward(kHost, 9000, true).isOk) {
        ++succeeded;
        session.stopForwarding(kHost, 9000);
      }
      succeeded += session.namingLookup("bad\nname").isOk;  // refused before anything is sent
    }
    // The answers rotate over all connections, so every kind both succeeds and fails.
    EXPECT_GT(succeeded, 1000);
    EXPECT_LT(succeeded, 4000);
    EXPECT_EQ(bridge.connectionCount(), 5001);
  }
  // The bridge has closed its own ends; whatever is still open belongs to the library.
  EXPECT_EQ(velqor_test::openDescriptors(), before);
}

}  // namespace
