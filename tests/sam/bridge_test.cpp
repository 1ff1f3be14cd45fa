// The bridge connection and stream sessions against the fake bridge: writes, session creation
// and requests, sickness, forwards and rebuilds, time limits, cancellation and failure reasons.
#include <arpa/inet.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <future>
#include <set>
#include <sstream>

#include <velqor/sam.hpp>

#include "fake_bridge.hpp"

namespace {

using SAM::ErrorCode;
using SAM::I2pSocket;
using SAM::Message;
using SAM::StreamSession;
using velqor_test::BridgeConnection;
using velqor_test::FakeBridge;
using velqor_test::openDescriptors;
using velqor_test::testKeyPriv;
using velqor_test::testKeyPub;

const char* const kHost = "127.0.0.1";
const std::string kHelloOk = "HELLO REPLY RESULT=OK VERSION=3.1\n";
const std::string kStreamOk = "STREAM STATUS RESULT=OK\n";
const std::string kOptions = "inbound.length=0 outbound.length=0";

std::string readToEnd(I2pSocket& socket) {
  std::string all;
  for (std::string piece = socket.read(); !piece.empty(); piece = socket.read()) all += piece;
  return all;
}

std::string sessionCreateLine(const std::string& id, const std::string& destination) {
  return "SESSION CREATE STYLE=STREAM ID=" + id + " DESTINATION=" + destination +
         " SIGNATURE_TYPE=EdDSA_SHA512_Ed25519 inbound.nickname=nick " + kOptions + "\n";
}

// A TCP socket on a loopback port (written to `port`) that listens with `backlog`, or is only
// bound when `backlog` is negative, so that connects to it are refused.
int loopbackSocket(uint16_t& port, int backlog) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof addr;
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), length), 0);
  EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length), 0);
  EXPECT_EQ(backlog < 0 ? 0 : ::listen(fd, backlog), 0);
  port = ntohs(addr.sin_port);
  return fd;
}

TEST(I2pSocketTest, WriteSendsEverythingThroughInterruptions) {
  // The bridge reads in small pieces and signals the writer after each one; without
  // SA_RESTART the blocked send returns short counts or EINTR again and again.
  struct sigaction action = {}, previous = {};
  action.sa_handler = [](int) {};
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
  const pthread_t writer = pthread_self();
  std::atomic<bool> writing{false};
  std::string received;
  FakeBridge bridge;
  bridge.on("HELLO VERSION", [&](BridgeConnection& c, const std::string&) {
    c.send(kHelloOk);
    for (std::string piece; !(piece = c.readSome(1024)).empty(); received += piece) {
      if (writing) pthread_kill(writer, SIGUSR1);
    }
  });
  std::string data(8 << 20, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i % 251);
  I2pSocket socket(kHost, bridge.port());
  writing = true;
  socket.write(data);
  writing = false;
  EXPECT_TRUE(socket.isOk());
  socket.close();
  bridge.waitUntilClosed(0);  // the bridge has read everything
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

// FailureReasonTest and TimeLimitTest check failed creations.
TEST(StreamSessionTest, Creation) {
  for (const std::string& destination : {std::string("TRANSIENT"), testKeyPriv()}) {
    FakeBridge bridge;
    // The signature type argument is not read.
    StreamSession session("nick", kHost, bridge.port(), destination, kOptions, "DSA_SHA1");
    const SAM::FullDestination& mine = session.getMyDestination();
    EXPECT_FALSE(session.isSick());
    EXPECT_EQ(bridge.lines(),
              (std::vector<std::string>{"HELLO VERSION MIN=3.0 MAX=3.1\n",
                                        sessionCreateLine(session.getSessionID(), destination)}));
    EXPECT_EQ(mine.pub, testKeyPub());
    EXPECT_EQ(mine.priv, testKeyPriv());
    EXPECT_EQ(mine.isGenerated, destination == "TRANSIENT");
  }
}

TEST(StreamSessionTest, IdentifiersAreRandomLettersAndLeaveRandAlone) {
  std::srand(42);
  const int firstRand = std::rand();
  std::srand(42);
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
// its value), whether the session falls sick, what the static form reports, and that every
// connection is given back.
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
  const int descriptorsBefore = openDescriptors();
  for (const Kind& kind : kinds) {
    const bool isStream = kind.prefix.compare(0, 6, "STREAM") == 0;
    // A generation reads no RESULT: its keys decide.
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
  EXPECT_EQ(openDescriptors(), descriptorsBefore) << "a descriptor leaked";
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
    const int descriptors = openDescriptors();
    session.stopForwarding("127.0.0.1", 5000);
    // The bridge sees the end of those two at some time; here no other ends with them.
    EXPECT_EQ(openDescriptors(), descriptors - 2);
    bridge.waitUntilClosed(1);
    bridge.waitUntilClosed(2);
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
  for (const char* prefix : {"STREAM CONNECT", "STREAM ACCEPT"}) {
    bridge.on(prefix, [peerSpeaks, prefix](BridgeConnection& c, const std::string& line) {
      if (std::string(prefix) == "STREAM ACCEPT")
        peerSpeaks->wait();  // no peer yet: the accept returns at once
      if (line.find("ID=gone ") == std::string::npos) c.send("hello\n");
      c.close();
    });
  }
  StreamSession session("silent", kHost, bridge.port());
  auto connected = session.connect("peer", true);
  ASSERT_TRUE(connected.isOk);
  auto accepted = session.accept(true);
  ASSERT_TRUE(accepted.isOk);
  peerSpeaks->open();
  EXPECT_EQ(readToEnd(*connected.value) + readToEnd(*accepted.value), "hello\nhello\n");
  // A stream that does not come about shows only as its end.
  I2pSocket socket(kHost, bridge.port());
  EXPECT_EQ(StreamSession::connect(socket, "gone", "peer", true), Message::OK);
  EXPECT_EQ(socket.read(), "");
  EXPECT_FALSE(session.isSick());
  EXPECT_EQ(bridge.linesStartingWith("STREAM CONNECT")[0],
            "STREAM CONNECT ID=" + session.getSessionID() + " DESTINATION=peer SILENT=true\n");
}

// Each row: the bridge sends `first` to lines that start with `held`, then nothing, and reads
// until the client closes; the limit of the phase that waits ends it.
TEST(TimeLimitTest, EveryPhaseEndsAtItsLimitAndClosesItsConnection) {
  // A listener whose accept queue is full (a backlog of 0 holds one) answers no further connect.
  uint16_t fullPort = 0;
  std::vector<int> fds{loopbackSocket(fullPort, 0)};
  const sockaddr_in full{AF_INET, htons(fullPort), {htonl(INADDR_LOOPBACK)}, {}};
  for (int i = 0; i < 4; ++i) {
    fds.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    ::connect(fds.back(), reinterpret_cast<const sockaddr*>(&full), sizeof full);
  }
  const struct {
    std::string held, first, reason;
  } cases[] = {
      {"connect", "",
       "SESSION CREATE: connect to 127.0.0.1:" + std::to_string(fullPort) +
           ": no connection within 100 ms"},
      {"HELLO", "", "SESSION CREATE: HELLO: no complete line within 100 ms"},
      {"SESSION CREATE", "", "SESSION CREATE: no complete line within 100 ms"},
      {"NAMING LOOKUP", "", "NAMING LOOKUP: no complete line within 100 ms"},
      {"STREAM CONNECT", "", "STREAM CONNECT: no complete line within 100 ms"},
      {"STREAM CONNECT", kStreamOk + "partial", "read: nothing came within 100 ms"},
      {"STREAM ACCEPT", kStreamOk, "write: not sent within 100 ms"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    const int descriptorsBefore = openDescriptors();
    {
      const bool writes = c.held == "STREAM ACCEPT";
      FakeBridge bridge;
      auto never = bridge.makeGate();
      bridge.on(c.held, [&](BridgeConnection& conn, const std::string&) {
        conn.send(c.first);
        writes ? never->wait() : static_cast<void>(conn.readAll());
      });
      const std::chrono::milliseconds limit(100);
      StreamSession session("limits", kHost, c.held == "connect" ? fullPort : bridge.port(),
                            "TRANSIENT", "", SAM::TimeLimits{limit, limit, limit, limit});
      EXPECT_FALSE(c.held == "NAMING LOOKUP" && session.namingLookup("site.i2p").isOk);
      std::unique_ptr<I2pSocket> stream;
      if (c.held.rfind("STREAM", 0) == 0) {
        auto result = writes ? session.accept(false) : session.connect("peer", false);
        EXPECT_EQ(result.isOk, !c.first.empty());
        stream = std::move(result.value);
      }
      if (stream && writes) stream->write(std::string(64 << 20, 'w'));  // the peer never reads
      if (stream && !writes) {
        EXPECT_EQ(stream->read(), "partial");
        EXPECT_EQ(stream->read(), "");
      }
      const SAM::Error& error = stream ? stream->getLastError() : session.getLastError();
      EXPECT_EQ(error.code, ErrorCode::TIMED_OUT);
      EXPECT_EQ(error.reason, c.reason);
      EXPECT_FALSE(stream && stream->isOk());
      // A creation that runs out of time failed; a request's limit is the caller's choice and
      // says nothing about the session.
      EXPECT_EQ(session.isSick(), c.reason.rfind("SESSION CREATE", 0) == 0);
      // While the objects live, so that the closing is the limit's doing.
      const int last = bridge.connectionCount() - 1;
      if (!writes && last >= 0) bridge.waitUntilClosed(last);
    }
    EXPECT_EQ(openDescriptors(), descriptorsBefore) << "a descriptor leaked";
  }
  for (int fd : fds) ::close(fd);
}

// Waits until thread `tid` of this process sleeps in the kernel, where a blocking call waits.
void waitUntilAsleep(pid_t tid) {
  for (;;) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string pid, name, state;
    stat >> pid >> name >> state;
    if (state == "S") return;
    std::this_thread::yield();
  }
}

TEST(CancelTest, WakesAThreadBlockedInReadOrReadLine) {
  for (const bool wholeLine : {false, true}) {
    SCOPED_TRACE(wholeLine ? "readLine" : "read");
    FakeBridge bridge;
    bridge.on("HELLO VERSION", [](BridgeConnection& conn, const std::string&) {
      conn.send(kHelloOk + "a line\nno end of line");
      conn.readAll();  // until the client's end
    });
    I2pSocket socket(kHost, bridge.port());
    // The bytes after the reply in the same receive are kept, one line after the other.
    EXPECT_EQ(socket.readLine(), "a line\n");
    EXPECT_EQ(socket.read(), "no end of line");
    std::promise<pid_t> reader;
    auto blocked = std::async(std::launch::async, [&] {
      reader.set_value(static_cast<pid_t>(::syscall(SYS_gettid)));
      return wholeLine ? socket.readLine() : socket.read();
    });
    waitUntilAsleep(reader.get_future().get());
    socket.cancel();
    EXPECT_EQ(blocked.get(), "");
    EXPECT_FALSE(socket.isOk());
    EXPECT_EQ(socket.getLastError().code, ErrorCode::CANCELLED);
    EXPECT_EQ(socket.read(), "");  // and every later call fails at once
    bridge.waitUntilClosed(0);
  }
}

TEST(FailureReasonTest, SaysWhatWentWrongWithoutKeyMaterial) {
  struct Case {
    const char* what;
    std::string host;
    bool deadPort;  // a port where nothing listens, else the fake bridge's
    std::string lookupReply;
    ErrorCode code;
    std::string reasonStart;
  };
  const int descriptorsBefore = openDescriptors();
  uint16_t deadPort = 0;
  const int dead = loopbackSocket(deadPort, -1);
  const std::vector<Case> cases = {
      {"nothing listens", kHost, true, "", ErrorCode::CONNECT,
       "SESSION CREATE: connect to 127.0.0.1:" + std::to_string(deadPort) + ": Connection refused"},
      // An empty label: the resolver refuses the name without asking any server, so the test
      // sends nothing off this machine.
      {"no such host", "no-such..host", false, "", ErrorCode::RESOLVE,
       "SESSION CREATE: resolve no-such..host: "},
      {"no such host, asked again", "no-such..host", false, "-", ErrorCode::RESOLVE,
       "NAMING LOOKUP: resolve no-such..host: "},
      {"a host name", "localhost", false, "NAMING REPLY RESULT=OK VALUE=x\n", ErrorCode::NONE, ""},
      {"a refusal with a quoted message", kHost, false,
       "NAMING REPLY RESULT=I2P_ERROR MESSAGE=\"no \\\"route\\\"\"\n", ErrorCode::REFUSED,
       "NAMING LOOKUP refused by the bridge: RESULT=I2P_ERROR MESSAGE=\"no \"route\"\""},
      {"an unknown name", kHost, false, "NAMING REPLY RESULT=INVALID_KEY NAME=site.i2p\n",
       ErrorCode::REFUSED, "NAMING LOOKUP refused by the bridge: RESULT=INVALID_KEY"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeBridge bridge;
    bridge.on("NAMING LOOKUP", c.lookupReply);
    StreamSession session("why", c.host, c.deadPort ? deadPort : bridge.port());
    if (!c.lookupReply.empty()) session.namingLookup("site.i2p");
    EXPECT_EQ(session.getLastError().code, c.code);
    EXPECT_EQ(session.getLastError().reason.substr(0, c.reasonStart.size()), c.reasonStart);
    EXPECT_EQ(session.isSick(), c.code == ErrorCode::CONNECT || c.code == ErrorCode::RESOLVE);
  }
  ::close(dead);
  EXPECT_EQ(openDescriptors(), descriptorsBefore) << "a failed connect leaked";

  // A bridge that echoes the whole SESSION CREATE line, private key and all, in its refusal.
  FakeBridge bridge;
  bridge.on("SESSION CREATE", [](BridgeConnection& conn, const std::string& line) {
    conn.send("SESSION STATUS RESULT=I2P_ERROR MESSAGE=\"" + line.substr(0, line.size() - 1) +
              "\"\n");
  });
  StreamSession session("why", kHost, bridge.port(), testKeyPriv(), "");
  EXPECT_TRUE(session.isSick());
  EXPECT_EQ(session.getMyDestination().priv, "");  // not even the key it asked for
  const std::string reason = session.getLastError().reason;
  EXPECT_EQ(reason.rfind("SESSION CREATE refused by the bridge: RESULT=I2P_ERROR MESSAGE=", 0), 0u)
      << reason;
  for (std::size_t i = 0; i + 12 <= testKeyPriv().size(); ++i) {
    ASSERT_EQ(reason.find(testKeyPriv().substr(i, 12)), std::string::npos) << reason;
  }
}

}  // namespace
