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
using velqor_test::loopbackSocket;
using velqor_test::openDescriptors;
using velqor_test::testKeyPriv;
using velqor_test::testKeyPub;

const char* const kHost = "127.0.0.1";
const std::string kHelloOk = "HELLO REPLY RESULT=OK VERSION=3.1\n";
const std::string kStreamOk = "STREAM STATUS RESULT=OK\n";
// A line longer than any buffer of fixed size.
const std::string kOptions = "inbound.length=0 outbound.length=0 x=" + std::string(5000, 'o');

// The bridge reads in small pieces and signals the writer after each one; without SA_RESTART
// the blocked send returns short counts or EINTR again and again. Then reads, one blocking and
// one limited, go on through signals.
TEST(I2pSocketTest, WriteSendsEverythingThroughInterruptions) {
  struct sigaction action = {}, previous = {};
  action.sa_handler = [](int) {};
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
  const pthread_t writer = pthread_self();
  std::atomic<bool> writing{false};
  std::string received;
  FakeBridge bridge;
  const auto interrupted = bridge.makeGate();  // the blocking read, ten times
  bridge.on("HELLO VERSION", [&](BridgeConnection& c, const std::string&) {
    c.send(kHelloOk);
    for (std::string piece; !(piece = c.readSome(1024)).empty();) {
      if (writing) pthread_kill(writer, SIGUSR1);
      if ((received += piece).size() == 8u << 20) interrupted->wait(), c.send("late");
    }
  });
  std::string data(8 << 20, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i % 251);
  I2pSocket socket(kHost, bridge.port());
  writing = true;
  socket.write(data);
  writing = false;
  EXPECT_TRUE(socket.isOk());
  std::atomic<bool> reading{true};
  std::thread interrupter([&] {
    for (int i = 0; reading; std::this_thread::sleep_for(std::chrono::milliseconds(2))) {
      pthread_kill(writer, SIGUSR1);
      if (++i == 10) interrupted->open();
    }
    interrupted->open();  // for a read that failed sooner
  });
  EXPECT_EQ(socket.read(), "late");  // without a limit
  // A limited read that signals keep interrupting still ends at its limit.
  SAM::TimeLimits limits;
  limits.read = std::chrono::milliseconds(100);
  socket.setTimeLimits(limits);
  EXPECT_EQ(socket.read(), "");
  reading = false;
  interrupter.join();
  EXPECT_EQ(socket.getLastError().code, ErrorCode::TIMED_OUT);
  socket.close();
  bridge.waitUntilClosed(0);  // the bridge has read everything
  sigaction(SIGUSR1, &previous, nullptr);
  EXPECT_TRUE(received == data) << received.size() << " of " << data.size() << " bytes";
}

// SIGPIPE is blocked, so a send that raises it leaves it pending instead of ending the test.
TEST(I2pSocketTest, WriteToAResetPeerClosesWithoutSigpipe) {
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

// Full duplex: one thread writes a stream while another reads it, through a bridge that joins
// two sessions (the accepting side echoes); then a write that runs out of time wakes the read
// blocked on the same socket, whose end does not cover up the write's reason.
TEST(I2pSocketTest, ReadsAndWritesOverlapAsOnATcpSocket) {
  FakeBridge bridge;
  bridge.pairStreams();
  StreamSession server("duplex", kHost, bridge.port()), client("duplex", kHost, bridge.port());
  auto accepted =
      std::async(std::launch::async, [&] { return std::move(server.accept(false).value); });
  auto connected = client.connect(testKeyPub(), false);
  ASSERT_TRUE(connected.isOk);
  std::unique_ptr<I2pSocket> peer = accepted.get();
  ASSERT_TRUE(peer);
  EXPECT_EQ(peer->readLine(), testKeyPub() + "\n");
  std::string data(4 << 20, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 % 251);
  std::thread echo([&] {  // echoes the data, then reads no more
    for (std::size_t echoed = 0; echoed < data.size();) {
      const std::string bytes = peer->read();
      if (bytes.empty()) return;
      peer->write(bytes);
      echoed += bytes.size();
    }
  });
  I2pSocket& stream = *connected.value;
  auto reader = std::async(std::launch::async, [&] {
    std::string got;
    while (got.size() < data.size() && stream.isOk()) got += stream.read();
    return got;
  });
  for (std::size_t at = 0; at < data.size(); at += 65536) stream.write(data.substr(at, 65536));
  EXPECT_TRUE(reader.get() == data);
  echo.join();
  SAM::TimeLimits limits;
  limits.write = std::chrono::milliseconds(100);
  stream.setTimeLimits(limits);
  auto blocked = std::async(std::launch::async, [&] { return stream.read(); });
  stream.write(std::string(64 << 20, 'w'));  // nobody reads it
  EXPECT_EQ(blocked.get(), "");
  EXPECT_EQ(stream.getDescriptor(), -1);
  EXPECT_EQ(stream.getLastError().code, ErrorCode::TIMED_OUT) << stream.getLastError().reason;
}

TEST(StreamSessionTest, IdentifiersAreRandomLettersAndLeaveRandAlone) {
  std::srand(42);
  const int firstRand = std::rand();
  std::srand(42);
  std::set<std::string> seen;
  for (int i = 0; i < 2000; ++i) {
    const std::string id = StreamSession::generateSessionID();
    ASSERT_EQ(id.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ"), std::string::npos) << id;
    seen.insert(id);
  }
  EXPECT_EQ(std::rand(), firstRand);
  EXPECT_GE(seen.size(), 1990u);  // drawn within one second, yet (almost) all different
}

// For every request and every status it can end with: whether the member form succeeds (with
// its value), whether the session falls sick, what the static form reports, and that every
// connection is given back. NO_ANSWER and SOCKET_NOT_OK come from no reply at all.
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
      // Silent: no status line is read, so only the connection decides.
      {"STREAM CONNECT ID=SID DESTINATION=quiet SILENT=true", "", "",
       [&](StreamSession& s) { return streamOk(s.connect("quiet", true)); },
       [](I2pSocket& s) { return StreamSession::connect(s, "SID", "quiet", true); }},
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
         EXPECT_EQ(result.value.pub + result.value.priv,
                   result.isOk ? testKeyPub() + testKeyPriv() : "");
         EXPECT_EQ(result.value.isGenerated, result.isOk);
         return result.isOk;
       },
       [](I2pSocket& s) { return StreamSession::destGenerate(s).status; }},
  };
  const int descriptorsBefore = openDescriptors();
  for (const Kind& kind : kinds) {
    const bool isStream = kind.prefix.compare(0, 6, "STREAM") == 0;
    const bool silent = kind.replyHead.empty();
    // The RESULT word of each status, in the order of Message::eStatus.
    std::istringstream words(
        "OK - - SOMETHING_ELSE DUPLICATED_DEST DUPLICATED_ID I2P_ERROR INVALID_ID INVALID_KEY "
        "CANT_REACH_PEER TIMEOUT NOVERSION KEY_NOT_FOUND PEER_NOT_FOUND ALREADY_ACCEPTING -");
    std::string word;
    for (int s = Message::OK; s <= Message::DEADLINE_EXCEEDED && words >> word; ++s) {
      const auto status = static_cast<Message::eStatus>(s);
      // A generation reads no RESULT (its keys decide), a silent request no reply at all.
      const bool fromReply = s != Message::OK && s != Message::SOCKET_NOT_OK &&
                             s != Message::DEADLINE_EXCEEDED && s != Message::NO_ANSWER;
      if ((silent && (fromReply || s == Message::NO_ANSWER)) ||
          (kind.prefix == "DEST GENERATE" && fromReply)) {
        continue;
      }
      SCOPED_TRACE(kind.prefix + " status " + std::to_string(s));
      FakeBridge bridge;
      // SOCKET_NOT_OK: every connection after the control one fails its handshake;
      // DEADLINE_EXCEEDED: it is never answered, and the reply limit passes.
      bridge.on("HELLO VERSION", [status](BridgeConnection& c, const std::string&) {
        if (status == Message::SOCKET_NOT_OK && c.id() > 0) return c.close();
        if (status == Message::DEADLINE_EXCEEDED && c.id() > 0)
          return static_cast<void>(c.readAll());
        c.send(kHelloOk);
      });
      const std::string text = kind.replyHead + " RESULT=" + word + kind.replyTail + "\n";
      bridge.on(kind.prefix, [status, text](BridgeConnection& c, const std::string&) {
        if (status == Message::NO_ANSWER) return c.close();
        c.send(text);
      });
      SAM::TimeLimits limits;
      if (status == Message::DEADLINE_EXCEEDED) limits.reply = std::chrono::milliseconds(100);
      StreamSession session("table", kHost, bridge.port(), "TRANSIENT", "", limits);
      ASSERT_FALSE(session.isSick());
      // The caller's own limit says nothing about the session, silent or not.
      const bool sick =
          status == Message::NO_ANSWER || status == Message::SOCKET_NOT_OK ||
          (isStream && (status == Message::I2P_ERROR || status == Message::INVALID_ID));
      EXPECT_EQ(kind.member(session), status == Message::OK);
      EXPECT_EQ(session.isSick(), sick);
      I2pSocket socket(kHost, bridge.port(), limits);
      EXPECT_EQ(kind.single(socket), status);
    }
  }
  EXPECT_EQ(openDescriptors(), descriptorsBefore) << "a descriptor leaked";
}

// A session is created with a new destination, then rebuilt: the same destination under a new
// identifier, once the old control connection is closed, with its forwards made again (the
// second was made by an operation).
TEST(StreamSessionTest, CreationAndRebuild) {
  FakeBridge bridge;
  bridge.on("STREAM FORWARD", kStreamOk);
  const auto createLine = [](const StreamSession& session, const std::string& destination) {
    return "SESSION CREATE STYLE=STREAM ID=" + session.getSessionID() +
           " DESTINATION=" + destination +
           " SIGNATURE_TYPE=EdDSA_SHA512_Ed25519 inbound.nickname=nick " + kOptions + "\n";
  };
  // The signature type argument is not read.
  StreamSession failed("nick", kHost, bridge.port(), "TRANSIENT", kOptions, "DSA_SHA1");
  EXPECT_EQ(bridge.lines(), (std::vector<std::string>{"HELLO VERSION MIN=3.0 MAX=3.1\n",
                                                      createLine(failed, "TRANSIENT")}));
  const SAM::FullDestination mine = failed.getMyDestination();
  EXPECT_EQ(mine.pub + " " + mine.priv, testKeyPub() + " " + testKeyPriv());
  EXPECT_TRUE(mine.isGenerated);
  ASSERT_TRUE(failed.forward(kHost, 7001, true).isOk);
  const auto forward = SAM::Operation::startForward(failed, kHost, 7002, false);
  for (SAM::Operation* op = forward.get(); SAM::Operation::wait(&op, 1, -1) > 0;) {
  }
  ASSERT_EQ(forward->progress(), SAM::Operation::Progress::DONE);

  StreamSession rebuilt(failed);
  EXPECT_TRUE(failed.isSick());
  EXPECT_FALSE(rebuilt.isSick());
  bridge.waitUntilClosed(0);
  const std::string id = rebuilt.getSessionID();
  EXPECT_NE(id, failed.getSessionID());
  EXPECT_EQ(rebuilt.getMyDestination().pub, testKeyPub());
  EXPECT_EQ(bridge.linesStartingWith("SESSION CREATE").back(), createLine(rebuilt, testKeyPriv()));
  const auto forwards = bridge.linesStartingWith("STREAM FORWARD");
  ASSERT_EQ(forwards.size(), 4u);
  EXPECT_EQ(forwards[2], "STREAM FORWARD ID=" + id + " PORT=7001 HOST=127.0.0.1 SILENT=true\n");
  EXPECT_EQ(forwards[3], "STREAM FORWARD ID=" + id + " PORT=7002 HOST=127.0.0.1 SILENT=false\n");
  EXPECT_FALSE(StreamSession("nick", kHost, bridge.port(), testKeyPriv(), "")
                   .getMyDestination()
                   .isGenerated);
}

// With SILENT=true a bridge sends no status line: the stream's bytes come at once, and a failed
// stream is a closed connection. Reading a reply there would eat the peer's first line.
TEST(StreamSessionTest, SilentStreamsReadNoStatusLine) {
  FakeBridge bridge;
  bridge.on("STREAM CONNECT", [](BridgeConnection& c, const std::string& line) {
    if (line.find("ID=gone ") == std::string::npos) c.send("hello\n");
    c.close();
  });
  StreamSession session("silent", kHost, bridge.port());
  auto connected = session.connect("peer", true);
  ASSERT_TRUE(connected.isOk);
  std::string bytes;
  for (std::string piece; !(piece = connected.value->read()).empty();) bytes += piece;
  EXPECT_EQ(bytes, "hello\n");
  // A stream that does not come about shows only as its end.
  I2pSocket socket(kHost, bridge.port());
  EXPECT_EQ(StreamSession::connect(socket, "gone", "peer", true), Message::OK);
  EXPECT_EQ(socket.read(), "");
  EXPECT_FALSE(session.isSick());
  EXPECT_EQ(bridge.linesStartingWith("STREAM CONNECT")[0],
            "STREAM CONNECT ID=" + session.getSessionID() + " DESTINATION=peer SILENT=true\n");
}

// Each row: the session's host and port (0: the bridge's), the bridge's answer `first` to lines
// that start with `held` (then it reads until the client closes, slowly for an accept), the
// request made, how it fails (the code, the start of the reason, whether the session is sick),
// and the time limits: `limit` for every phase, and a deadline that far from the creation.
// Every connection is closed by then, by the time limit where one ran out, and given back.
TEST(FailureTest, EveryFailureSaysWhatWentWrongAndGivesItsConnectionBack) {
  // A port where nothing listens, and a listener whose accept queue is full, which answers no
  // connect.
  uint16_t deadPort = 0, fullPort = 0;
  std::vector<int> fds{loopbackSocket(deadPort, -1), loopbackSocket(fullPort, 0)};
  const std::string connect = "SESSION CREATE: connect to 127.0.0.1:";
  const std::string noLine = ": no complete line within 100 ms";
  const std::string kTrickle = "a byte every 10 ms, until the client has gone";
  const std::chrono::milliseconds kShort(100), kLong(20000);
  const struct {
    std::string host;
    uint16_t port;
    std::string held, first, request;
    ErrorCode code;
    std::string reason;
    std::chrono::milliseconds limit{100}, deadline{0};  // 0: no deadline
  } cases[] = {
      {kHost, deadPort, "", "", "", ErrorCode::CONNECT,
       connect + std::to_string(deadPort) + ": Connection refused"},
      // The resolver refuses an empty label without asking any server.
      {"no-such..host", 0, "", "", "", ErrorCode::RESOLVE,
       "SESSION CREATE: resolve no-such..host: "},
      {"no-such..host", 0, "", "", "NAMING LOOKUP", ErrorCode::RESOLVE,
       "NAMING LOOKUP: resolve no-such..host: "},
      // What the bridge sent goes into the reason without control bytes and without keys.
      {kHost, 0, "NAMING LOOKUP",
       "NAMING REPLY RESULT=I2P_ERROR MESSAGE=\"no \\\"route\\\"\r\x1b[2J " + testKeyPriv() +
           "\"\n",
       "NAMING LOOKUP", ErrorCode::REFUSED,
       "NAMING LOOKUP refused by the bridge: RESULT=I2P_ERROR MESSAGE=\"no \"route\"??[2J ...\""},
      {kHost, 0, "NAMING LOOKUP", "NAMING REPLY " + testKeyPub() + "\x1b[2J\n", "NAMING LOOKUP",
       ErrorCode::REFUSED,
       "NAMING LOOKUP refused by the bridge: unexpected reply \"NAMING REPLY ...?[2J\""},
      {kHost, fullPort, "", "", "", ErrorCode::TIMED_OUT,
       connect + std::to_string(fullPort) + ": no connection within 100 ms"},
      {kHost, 0, "HELLO", "", "", ErrorCode::TIMED_OUT, "SESSION CREATE: HELLO" + noLine},
      {kHost, 0, "SESSION CREATE", "", "", ErrorCode::TIMED_OUT, "SESSION CREATE" + noLine},
      {kHost, 0, "STREAM CONNECT", "", "STREAM CONNECT", ErrorCode::TIMED_OUT,
       "STREAM CONNECT" + noLine},
      // The line's limit holds for the whole line, however its bytes trickle in.
      {kHost, 0, "NAMING LOOKUP", kTrickle, "NAMING LOOKUP", ErrorCode::TIMED_OUT,
       "NAMING LOOKUP" + noLine},
      // With a phase limit and a deadline, whichever comes first ends the call.
      {kHost, 0, "DEST GENERATE", "", "DEST GENERATE", ErrorCode::TIMED_OUT,
       "DEST GENERATE" + noLine, kShort, kLong},
      {kHost, 0, "DEST GENERATE", "", "DEST GENERATE", ErrorCode::TIMED_OUT,
       "DEST GENERATE: no complete line before the deadline", kLong, kShort},
      {kHost, 0, "STREAM ACCEPT", kStreamOk, "STREAM ACCEPT", ErrorCode::TIMED_OUT,
       "write: not sent within 100 ms"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    const int descriptorsBefore = openDescriptors();
    {
      FakeBridge bridge;
      if (!c.held.empty()) {
        bridge.on(c.held, [&](BridgeConnection& conn, const std::string&) {
          if (c.first == kTrickle) {
            while (conn.send("N")) std::this_thread::sleep_for(std::chrono::milliseconds(10));
          }
          conn.send(c.first);
          // The stream's peer reads slowly: the write limit bounds the whole write().
          for (bool slow = c.request == "STREAM ACCEPT"; !conn.readSome().empty();) {
            if (slow) std::this_thread::sleep_for(std::chrono::milliseconds(1));
          }
        });
      }
      SAM::TimeLimits limits{c.limit, c.limit, c.limit, c.limit};
      if (c.deadline.count() > 0) limits.deadline = std::chrono::steady_clock::now() + c.deadline;
      StreamSession session("why", c.host, c.port != 0 ? c.port : bridge.port(), "TRANSIENT", "",
                            limits);
      bool ok = false;
      if (c.request == "NAMING LOOKUP") ok = session.namingLookup("site.i2p").isOk;
      if (c.request == "STREAM CONNECT") ok = session.connect("peer", false).isOk;
      if (c.request == "DEST GENERATE") ok = session.destGenerate().isOk;
      std::unique_ptr<I2pSocket> stream;
      if (c.request == "STREAM ACCEPT") {
        stream = std::move(session.accept(false).value);
        ASSERT_TRUE(stream);
        stream->write(std::string(64 << 20, 'w'));
        ok = stream->isOk();
      }
      EXPECT_FALSE(ok);
      const SAM::Error& error = stream ? stream->getLastError() : session.getLastError();
      EXPECT_EQ(error.code, c.code);
      EXPECT_EQ(error.reason.substr(0, c.reason.size()), c.reason);
      // A creation that failed makes the session sick; a request's failure does not, nor does the
      // time limit the caller chose for it.
      EXPECT_EQ(session.isSick(), c.request.empty() || c.code == ErrorCode::RESOLVE);
      // While the objects live, so that the closing is the limit's doing.
      const int last = bridge.connectionCount() - 1;
      if (!stream && last >= 0) bridge.waitUntilClosed(last);
    }
    EXPECT_EQ(openDescriptors(), descriptorsBefore) << "a descriptor leaked";
  }
  for (int fd : fds) ::close(fd);
}

// A thread blocked in readLine() wakes at cancel(), and every later call fails at once.
TEST(CancelTest, WakesAThreadBlockedInReadLine) {
  FakeBridge bridge;  // sends nothing after the handshake
  I2pSocket cancelled(kHost, bridge.port());
  cancelled.cancel();
  EXPECT_FALSE(cancelled.isOk());
  I2pSocket socket(kHost, bridge.port());
  std::promise<pid_t> reader;
  auto blocked = std::async(std::launch::async, [&] {
    reader.set_value(static_cast<pid_t>(::syscall(SYS_gettid)));
    return socket.readLine();
  });
  // Waits until the reader sleeps in the kernel, where a blocking call waits.
  const std::string stat = "/proc/self/task/" + std::to_string(reader.get_future().get()) + "/stat";
  for (std::string pid, name, state; state != "S"; std::this_thread::yield()) {
    std::ifstream(stat) >> pid >> name >> state;
  }
  socket.cancel();
  EXPECT_EQ(blocked.get(), "");
  EXPECT_EQ(socket.getLastError().code, ErrorCode::CANCELLED);
  EXPECT_EQ(socket.read(), "");
  EXPECT_FALSE(socket.isOk());
  for (int id : {0, 1}) bridge.waitUntilClosed(id);
}

}  // namespace
