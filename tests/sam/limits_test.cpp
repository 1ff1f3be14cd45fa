// Time limits, cancellation and the reasons of failures, against the fake bridge.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <velqor/sam.hpp>

#include "fake_bridge.hpp"

namespace {

using SAM::ErrorCode;
using SAM::I2pSocket;
using SAM::Message;
using SAM::StreamSession;
using velqor_test::BridgeConnection;
using velqor_test::FakeBridge;

const char* const kHost = "127.0.0.1";
const std::string kStreamOk = "STREAM STATUS RESULT=OK\n";

SAM::TimeLimits every(int milliseconds) {
  const std::chrono::milliseconds limit(milliseconds);
  return {limit, limit, limit, limit};
}

// What a phase ended with: the error of the object that failed, whether the session fell sick.
struct Outcome {
  SAM::Error error;
  bool sick = false;
};

// The connection opened last has been closed by the client (the bridge read its end).
void lastConnectionIsClosed(const FakeBridge& bridge) {
  bridge.waitUntilClosed(bridge.connectionCount() - 1);
}

TEST(TimeLimitTest, EveryPhaseEndsAtItsLimitAndClosesItsConnection) {
  struct Case {
    const char* held;   // the bridge sends `first` to lines starting with this, then nothing
    std::string first;  // ... and reads until the client closes, unless the case writes
    std::function<Outcome(FakeBridge&)> run;
    std::string reason;
  };
  const auto session = [](FakeBridge& bridge) {
    return std::make_unique<StreamSession>("limits", kHost, bridge.port(), "TRANSIENT", "",
                                           every(100));
  };
  // Each check runs while the objects live, so the closing is the limit's doing.
  const auto failedRequest = [](FakeBridge& bridge, const StreamSession& s, bool isOk) {
    EXPECT_FALSE(isOk);
    lastConnectionIsClosed(bridge);
    return Outcome{s.getLastError(), s.isSick()};
  };
  const auto stream = [session](FakeBridge& bridge, bool reads) {
    auto s = session(bridge);
    auto result = reads ? s->connect("peer", false) : s->accept(false);
    EXPECT_TRUE(result.isOk);
    if (!result.isOk) return Outcome{};
    I2pSocket& socket = *result.value;
    if (reads) {  // "partial" comes, then nothing
      EXPECT_EQ(socket.read(), "partial");
      EXPECT_EQ(socket.read(), "");
      lastConnectionIsClosed(bridge);
    } else {  // the peer never reads: the buffers fill and the write runs out of time
      socket.write(std::string(64 << 20, 'w'));
    }
    EXPECT_FALSE(socket.isOk());
    return Outcome{socket.getLastError(), s->isSick()};
  };
  const std::vector<Case> cases = {
      {"HELLO", "",
       [](FakeBridge& bridge) {
         I2pSocket socket(kHost, bridge.port(), every(100));
         EXPECT_FALSE(socket.isOk());
         lastConnectionIsClosed(bridge);
         return Outcome{socket.getLastError(), false};
       },
       "HELLO: no complete line within 100 ms"},
      {"SESSION CREATE", "",
       [session](FakeBridge& bridge) {
         auto s = session(bridge);
         lastConnectionIsClosed(bridge);
         return Outcome{s->getLastError(), s->isSick()};
       },
       "SESSION CREATE: no complete line within 100 ms"},
      {"NAMING LOOKUP", "",
       [=](FakeBridge& bridge) {
         auto s = session(bridge);
         return failedRequest(bridge, *s, s->namingLookup("site.i2p").isOk);
       },
       "NAMING LOOKUP: no complete line within 100 ms"},
      {"STREAM CONNECT", "",
       [=](FakeBridge& bridge) {
         auto s = session(bridge);
         return failedRequest(bridge, *s, s->connect("peer", false).isOk);
       },
       "STREAM CONNECT: no complete line within 100 ms"},
      {"STREAM CONNECT", kStreamOk + "partial",
       [stream](FakeBridge& bridge) { return stream(bridge, true); },
       "read: nothing came within 100 ms"},
      {"STREAM ACCEPT", kStreamOk, [stream](FakeBridge& bridge) { return stream(bridge, false); },
       "write: not sent within 100 ms"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    const int descriptorsBefore = velqor_test::openDescriptors();
    {
      FakeBridge bridge;
      auto never = bridge.makeGate();
      const bool writes = c.reason.rfind("write", 0) == 0;
      bridge.on(c.held, [never, &c, writes](BridgeConnection& conn, const std::string&) {
        conn.send(c.first);
        writes ? never->wait() : static_cast<void>(conn.readAll());
      });
      const Outcome outcome = c.run(bridge);
      EXPECT_EQ(outcome.error.code, ErrorCode::TIMED_OUT);
      EXPECT_EQ(outcome.error.reason, c.reason);
      // A creation that runs out of time is a failed creation; a request's limit is the
      // caller's choice and says nothing about the session.
      EXPECT_EQ(outcome.sick, std::string(c.held) == "SESSION CREATE");
    }
    EXPECT_EQ(velqor_test::openDescriptors(), descriptorsBefore) << "a descriptor leaked";
  }
}

// A listening socket whose accept queue is full: further connects get no answer at all.
class FullListener {
 public:
  FullListener() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&addr), length), 0);
    EXPECT_EQ(::listen(fd_, 0), 0);
    EXPECT_EQ(::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length), 0);
    port_ = ntohs(addr.sin_port);
    // Connections that are never accepted fill the queue (with a backlog of 0 it holds one).
    for (int i = 0; i < 4; ++i) {
      fillers_.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
      ::connect(fillers_.back(), reinterpret_cast<sockaddr*>(&addr), length);
    }
  }
  ~FullListener() {
    for (int fd : fillers_) ::close(fd);
    ::close(fd_);
  }
  uint16_t port() const { return port_; }

 private:
  int fd_;
  uint16_t port_ = 0;
  std::vector<int> fillers_;
};

TEST(TimeLimitTest, AConnectThatNeverCompletesEndsAtTheConnectLimit) {
  FullListener listener;
  SAM::TimeLimits limits;
  limits.connect = std::chrono::milliseconds(200);
  I2pSocket socket(kHost, listener.port(), limits);
  EXPECT_FALSE(socket.isOk());
  EXPECT_EQ(socket.getLastError().code, ErrorCode::TIMED_OUT);
  EXPECT_EQ(
      socket.getLastError().reason,
      "connect to 127.0.0.1:" + std::to_string(listener.port()) + ": no connection within 200 ms");
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
      conn.send("HELLO REPLY RESULT=OK VERSION=3.1\nno end of line");
      conn.readAll();  // until the client's end
    });
    I2pSocket socket(kHost, bridge.port());
    EXPECT_EQ(socket.read(), "no end of line");  // the rest of the first receive
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
  const int descriptorsBefore = velqor_test::openDescriptors();
  // A port that refuses connections: bound, not listening.
  const int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&addr), length), 0);
  ASSERT_EQ(::getsockname(holder, reinterpret_cast<sockaddr*>(&addr), &length), 0);
  const std::string deadPort = std::to_string(ntohs(addr.sin_port));
  const std::vector<Case> cases = {
      {"nothing listens", kHost, true, "", ErrorCode::CONNECT,
       "SESSION CREATE: connect to 127.0.0.1:" + deadPort + ": Connection refused"},
      {"no such host", "nosuchhost.invalid", false, "", ErrorCode::RESOLVE,
       "SESSION CREATE: resolve nosuchhost.invalid: "},
      {"no such host, asked again", "nosuchhost.invalid", false, "-", ErrorCode::RESOLVE,
       "NAMING LOOKUP: resolve nosuchhost.invalid: "},
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
    StreamSession session("why", c.host, c.deadPort ? ntohs(addr.sin_port) : bridge.port());
    if (!c.lookupReply.empty()) session.namingLookup("site.i2p");
    EXPECT_EQ(session.getLastError().code, c.code);
    EXPECT_EQ(session.getLastError().reason.substr(0, c.reasonStart.size()), c.reasonStart);
    EXPECT_EQ(session.isSick(), c.code == ErrorCode::CONNECT || c.code == ErrorCode::RESOLVE);
  }
  ::close(holder);
  EXPECT_EQ(velqor_test::openDescriptors(), descriptorsBefore) << "a failed connect leaked";

  // A bridge that echoes the whole SESSION CREATE line, private key and all, in its refusal.
  FakeBridge bridge;
  bridge.on("SESSION CREATE", [](BridgeConnection& conn, const std::string& line) {
    conn.send("SESSION STATUS RESULT=I2P_ERROR MESSAGE=\"" + line.substr(0, line.size() - 1) +
              "\"\n");
  });
  const std::string& key = velqor_test::testKeyPriv();
  StreamSession session("why", kHost, bridge.port(), key, "", every(1000));
  const std::string reason = session.getLastError().reason;
  EXPECT_EQ(reason.rfind("SESSION CREATE refused by the bridge: RESULT=I2P_ERROR MESSAGE=", 0), 0u)
      << reason;
  for (std::size_t i = 0; i + 12 <= key.size(); ++i) {
    ASSERT_EQ(reason.find(key.substr(i, 12)), std::string::npos) << "key material: " << reason;
  }
}

}  // namespace
