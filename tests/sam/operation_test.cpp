// Operations against the fake bridge: each ends as its blocking call does under every delivery of
// the bridge's reply, takes nothing of a stream past the bridge's lines, keeps its limits in every
// phase, sends the accepts of a session one after another, and runs by the thousand in one thread.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <velqor/sam.hpp>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fake_bridge.hpp"

namespace {

using SAM::ErrorCode;
using SAM::I2pSocket;
using SAM::Message;
using SAM::Operation;
using SAM::StreamSession;
using velqor_test::BridgeConnection;
using velqor_test::FakeBridge;
using velqor_test::openDescriptors;
using velqor_test::testKeyPriv;
using velqor_test::testKeyPub;
using Progress = Operation::Progress;

constexpr char kHost[] = "127.0.0.1";
const std::string kStreamOk = "STREAM STATUS RESULT=OK\n";
const std::string kGlued = std::string("\0first bytes\r\n\xff\0 after a newline\n", 33);

// Runs `operations` from this thread until none is pending.
void runAll(const std::vector<Operation*>& operations) {
  while (Operation::wait(operations.data(), operations.size(), -1) > 0) {
  }
}

Progress run(Operation& operation) {
  runAll({&operation});
  return operation.progress();
}

// Everything a stream delivers until its end.
std::string drain(I2pSocket& stream) {
  std::string bytes;
  for (std::string piece; !(piece = stream.read()).empty();) bytes += piece;
  return bytes;
}

// What a request came to, the blocking way or as an operation: whether it succeeded, its value
// (for a stream: everything it delivered), the session's reason and whether it fell sick.
struct Result {
  bool ok;
  std::string value;
  ErrorCode code;
  Message::eStatus status;
  std::string reason;
  bool sick;

  bool operator==(const Result& o) const {
    return std::tie(ok, value, code, status, reason, sick) ==
           std::tie(o.ok, o.value, o.code, o.status, o.reason, o.sick);
  }
};

std::ostream& operator<<(std::ostream& out, const Result& r) {
  return out << (r.ok ? "ok" : "failed") << " value=\"" << r.value << "\" code=" << int(r.code)
             << " status=" << r.status << " reason=\"" << r.reason << "\" sick=" << r.sick;
}

Result resultOf(const StreamSession& session, bool ok, std::string value) {
  const SAM::Error& e = session.getLastError();
  return {ok, std::move(value), e.code, e.status, e.reason, session.isSick()};
}

// One kind of request, made both ways.
struct Kind {
  std::string prefix;  // how its request line starts
  std::vector<std::string> replies;
  std::function<Result(StreamSession&)> blocking;
  std::function<Result(StreamSession&)> operation;
};

std::vector<Kind> kinds() {
  const std::string pub = testKeyPub(), priv = testKeyPriv();
  const auto stream = [](StreamSession& s, SAM::RequestResult<std::unique_ptr<I2pSocket>> r) {
    return resultOf(s, r.isOk, r.isOk ? drain(*r.value) : "");
  };
  const auto streamOp = [](StreamSession& s, std::unique_ptr<Operation> op) {
    const bool ok = run(*op) == Progress::DONE;
    std::unique_ptr<I2pSocket> socket = op->takeSocket();
    return resultOf(s, ok, ok ? op->peerDestination() + drain(*socket) : "");
  };
  return {
      {"NAMING LOOKUP",
       {"NAMING REPLY RESULT=OK NAME=site.i2p VALUE=" + pub + "\n",
        "NAMING REPLY RESULT=I2P_ERROR MESSAGE=\"no \\\"route\\\"\"\n"},
       [](StreamSession& s) {
         const auto r = s.namingLookup("site.i2p");
         return resultOf(s, r.isOk, r.value);
       },
       [](StreamSession& s) {
         auto op = Operation::startNamingLookup(s, "site.i2p");
         const bool ok = run(*op) == Progress::DONE;
         return resultOf(s, ok, op->value());
       }},
      {"DEST GENERATE",
       {"DEST REPLY PUB=" + pub + " PRIV=" + priv + "\n", "DEST REPLY PUB=" + pub + "\n"},
       [](StreamSession& s) {
         const auto r = s.destGenerate();
         return resultOf(
             s, r.isOk,
             r.value.pub + "|" + r.value.priv + "|" + (r.value.isGenerated ? "new" : ""));
       },
       [](StreamSession& s) {
         auto op = Operation::startDestGenerate(s);
         const bool ok = run(*op) == Progress::DONE;
         const SAM::FullDestination& d = op->destination();
         return resultOf(s, ok, d.pub + "|" + d.priv + "|" + (d.isGenerated ? "new" : ""));
       }},
      // Whatever follows the status line is the stream's.
      {"STREAM CONNECT",
       {kStreamOk, "STREAM STATUS RESULT=INVALID_ID\n",
        "STREAM STATUS RESULT=CANT_REACH_PEER MESSAGE=gone\n"},
       [=](StreamSession& s) { return stream(s, s.connect(pub, false)); },
       [=](StreamSession& s) { return streamOp(s, Operation::startConnect(s, pub, false)); }},
      // Silent: no status line is read, so the stream has all the bridge sends.
      {"STREAM CONNECT",
       {kStreamOk},
       [=](StreamSession& s) { return stream(s, s.connect(pub, true)); },
       [=](StreamSession& s) { return streamOp(s, Operation::startConnect(s, pub, true)); }},
      // The blocking accept hands the peer's line on with the stream; the operation reads it.
      {"STREAM ACCEPT",
       {kStreamOk, "STREAM STATUS RESULT=I2P_ERROR\n"},
       [=](StreamSession& s) {
         auto r = s.accept(false);
         const std::string peer = r.isOk ? r.value->readLine() : "";
         const bool ok = !peer.empty();
         return resultOf(s, ok, ok ? peer.substr(0, peer.size() - 1) + drain(*r.value) : "");
       },
       [=](StreamSession& s) { return streamOp(s, Operation::startAccept(s, false)); }},
      {"STREAM FORWARD",
       {kStreamOk, "STREAM STATUS RESULT=INVALID_KEY\n"},
       [](StreamSession& s) {
         const auto r = s.forward(kHost, 9, true);
         return resultOf(s, r.isOk, "");
       },
       [](StreamSession& s) {
         auto op = Operation::startForward(s, kHost, 9, true);
         return resultOf(s, run(*op) == Progress::DONE, "");
       }},
  };
}

// Each delivery of a reply: the pieces the bridge sends, each in a receive of its own, then it
// closes. Whole, split at every offset, glued to the stream's first bytes, cut off, over the
// bound, or nothing at all.
std::vector<std::pair<std::string, std::vector<std::string>>> deliveries(const std::string& reply,
                                                                         bool everySplit) {
  const std::string peer = testKeyPub() + "\n";
  std::vector<std::pair<std::string, std::vector<std::string>>> all = {
      {"whole", {reply}},
      {"glued to the stream", {reply + peer + kGlued}},
      {"the peer line split", {reply + peer.substr(0, 9), peer.substr(9) + kGlued}},
      {"cut", {reply.substr(0, reply.size() - 1)}},
      {"nothing", {}},
      {"over the bound", {std::string(I2pSocket::maxReplyLength + 1, 'A')}},
  };
  for (std::size_t k = 1; everySplit && k < reply.size(); ++k) {
    all.push_back({"split at " + std::to_string(k), {reply.substr(0, k), reply.substr(k)}});
  }
  return all;
}

TEST(OperationTest, EndsAsTheBlockingCallWouldUnderEveryDelivery) {
  const int descriptorsBefore = openDescriptors();
  {
    std::mutex mutex;
    std::string prefix;
    std::vector<std::string> pieces;
    FakeBridge bridge;
    bridge.on("", [&](BridgeConnection& conn, const std::string& line) {
      std::unique_lock<std::mutex> lock(mutex);
      if (line.compare(0, prefix.size(), prefix) != 0) {
        conn.send(line.rfind("HELLO", 0) == 0
                      ? "HELLO REPLY RESULT=OK VERSION=3.1\n"
                      : "SESSION STATUS RESULT=OK DESTINATION=" + testKeyPriv() + "\n");
        return;
      }
      const std::vector<std::string> answer = pieces;
      lock.unlock();
      conn.sendSplit(answer);
      conn.close();
    });
    for (const Kind& kind : kinds()) {
      for (const std::string& reply : kind.replies) {
        for (const auto& [name, delivery] : deliveries(reply, reply == kind.replies[0])) {
          {
            std::lock_guard<std::mutex> lock(mutex);
            prefix = kind.prefix;
            pieces = delivery;
          }
          StreamSession blocking("same", kHost, bridge.port(), "TRANSIENT", "");
          StreamSession driven("same", kHost, bridge.port(), "TRANSIENT", "");
          ASSERT_FALSE(blocking.isSick() || driven.isSick());
          const Result expected = kind.blocking(blocking);
          EXPECT_EQ(kind.operation(driven), expected)
              << kind.prefix << ", " << name << ": " << reply;
        }
      }
    }
  }
  EXPECT_EQ(openDescriptors(), descriptorsBefore) << "a descriptor leaked";
}

// A thousand lookups and two hundred connects at once, from this thread: every lookup gets its
// own value and every stream its own first bytes, glued to its status line.
TEST(OperationTest, RunByTheThousandInOneThread) {
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = std::max<rlim_t>(files.rlim_cur, std::min<rlim_t>(files.rlim_max, 4096));
  setrlimit(RLIMIT_NOFILE, &files);
  const int descriptorsBefore = openDescriptors();
  {
    FakeBridge bridge;
    bridge.on("NAMING LOOKUP", [](BridgeConnection& conn, const std::string& line) {
      conn.send("NAMING REPLY RESULT=OK VALUE=" + line.substr(19, line.size() - 20) + "\n");
    });
    bridge.on("STREAM CONNECT", [](BridgeConnection& conn, const std::string& line) {
      const std::size_t at = line.find("DESTINATION=") + 12;
      const std::string peer = line.substr(at, line.find(" ", at) - at);
      conn.send(kStreamOk + "from " + peer);
      conn.close();
    });
    StreamSession session("many", kHost, bridge.port());
    ASSERT_FALSE(session.isSick());
    std::vector<std::unique_ptr<Operation>> lookups, connects;
    std::vector<Operation*> all;
    for (int i = 0; i < 1000; ++i) {
      lookups.push_back(Operation::startNamingLookup(session, "n" + std::to_string(i)));
      all.push_back(lookups.back().get());
    }
    for (int i = 0; i < 200; ++i) {
      connects.push_back(Operation::startConnect(session, "p" + std::to_string(1000 + i), false));
      all.push_back(connects.back().get());
    }
    runAll(all);
    for (int i = 0; i < 1000; ++i) {
      ASSERT_EQ(lookups[i]->progress(), Progress::DONE) << lookups[i]->error().reason;
      EXPECT_EQ(lookups[i]->value(), "n" + std::to_string(i));
      EXPECT_EQ(lookups[i]->descriptor(), -1);
    }
    for (int i = 0; i < 200; ++i) {
      ASSERT_EQ(connects[i]->progress(), Progress::DONE) << connects[i]->error().reason;
      EXPECT_EQ(drain(*connects[i]->takeSocket()), "from p" + std::to_string(1000 + i));
    }
    EXPECT_FALSE(session.isSick());
  }
  EXPECT_EQ(openDescriptors(), descriptorsBefore) << "a descriptor leaked";
}

// Each phase stalled by the bridge: the operation fails at the limit of that phase (each phase's
// is another) with the reason the blocking call gives, its connection closed, the session sick
// only where a creation failed.
TEST(OperationTest, EveryPhaseEndsAtItsLimit) {
  uint16_t fullPort = 0;  // a listener whose accept queue is full answers no further connect
  std::vector<int> fds{velqor_test::loopbackSocket(fullPort, 0)};
  const sockaddr_in full{AF_INET, htons(fullPort), {htonl(INADDR_LOOPBACK)}, {}};
  for (int i = 0; i < 4; ++i) {
    fds.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    ::connect(fds.back(), reinterpret_cast<const sockaddr*>(&full), sizeof full);
  }
  using ms = std::chrono::milliseconds;
  const SAM::TimeLimits limits{ms(100), ms(150), ms(200), ms(250)};  // connect, reply, read, write
  const std::string noLine = ": no complete line within 150 ms";
  const struct {
    const char* held;  // lines the bridge never answers
    std::function<std::unique_ptr<Operation>(StreamSession&, uint16_t)> start;
    std::string reason;
  } cases[] = {
      {"",
       [&](StreamSession&, uint16_t) {
         return Operation::startStreamSession("o", kHost, fullPort, "TRANSIENT", "", limits);
       },
       "SESSION CREATE: connect to 127.0.0.1:" + std::to_string(fullPort) +
           ": no connection within 100 ms"},
      {"HELLO",
       [&](StreamSession&, uint16_t port) {
         return Operation::startStreamSession("o", kHost, port, "TRANSIENT", "", limits);
       },
       "SESSION CREATE: HELLO" + noLine},
      {"SESSION CREATE",
       [&](StreamSession&, uint16_t port) {
         return Operation::startDatagramSession("o", kHost, port, Message::RAW, "TRANSIENT", "",
                                                limits);
       },
       "SESSION CREATE" + noLine},
      {"NAMING LOOKUP",
       [](StreamSession& s, uint16_t) { return Operation::startNamingLookup(s, "site.i2p"); },
       "NAMING LOOKUP" + noLine},
      // The status line comes, the peer does not.
      {"STREAM CONNECT",
       [](StreamSession& s, uint16_t) { return Operation::startAccept(s, false); },
       "read: no complete line within 200 ms"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    const int descriptorsBefore = openDescriptors();
    {
      // The bridge holds each line until the client has gone.
      FakeBridge bridge;
      bridge.on("STREAM ACCEPT", [](BridgeConnection& conn, const std::string&) {
        conn.send(kStreamOk);
        conn.readAll();
      });
      StreamSession session("o", kHost, bridge.port(), "TRANSIENT", "", limits);
      ASSERT_FALSE(session.isSick());
      if (*c.held != '\0') {
        bridge.on(c.held, [](BridgeConnection& conn, const std::string&) { conn.readAll(); });
      }
      auto op = c.start(session, bridge.port());
      if (op->kind() == Operation::Kind::STREAM_ACCEPT) {  // its status line comes, then nothing
        Operation* one = op.get();
        while (!op->waitsForPeer() && op->progress() == Progress::PENDING) {
          Operation::wait(&one, 1, -1);
        }
        EXPECT_TRUE(op->waitsForPeer());
      }
      EXPECT_EQ(run(*op), Progress::FAILED);
      EXPECT_FALSE(op->waitsForPeer());
      EXPECT_EQ(op->error().code, ErrorCode::TIMED_OUT);
      EXPECT_EQ(op->error().status, Message::DEADLINE_EXCEEDED);
      EXPECT_EQ(op->error().reason, c.reason);
      EXPECT_EQ(op->descriptor(), -1);
      EXPECT_FALSE(session.isSick()) << "a limit of the caller's says nothing of the session";
      const int last = bridge.connectionCount() - 1;
      if (last > 0) bridge.waitUntilClosed(last);  // closed by the limit, while the bridge waits
    }
    EXPECT_EQ(openDescriptors(), descriptorsBefore) << "a descriptor leaked";
  }
  for (int fd : fds) ::close(fd);
}

// Accepts of one session go to the bridge one after another: the next STREAM ACCEPT only once
// the previous one's status line has come, however many are pending, and one freed or out of
// time while it waits for its turn hands the turn on.
TEST(OperationTest, AcceptsTakeTurnsAtTheBridge) {
  FakeBridge bridge;
  std::vector<std::shared_ptr<velqor_test::Gate>> statuses;
  for (int i = 0; i < 3; ++i) statuses.push_back(bridge.makeGate());
  std::atomic<int> accepts{0};
  bridge.on("STREAM ACCEPT", [&](BridgeConnection& conn, const std::string&) {
    const int n = accepts++;
    statuses[std::min(n, 2)]->wait();
    conn.send(kStreamOk + testKeyPub() + "\n" + "stream " + std::to_string(n));
    conn.close();
  });
  // With a reply limit, an accept that waits for its turn is the one without a limit running.
  SAM::TimeLimits limits;
  limits.reply = std::chrono::seconds(60);
  StreamSession session("turns", kHost, bridge.port(), "TRANSIENT", "", limits);
  std::vector<std::unique_ptr<Operation>> ops;
  std::vector<Operation*> pending;
  for (int i = 0; i < 4; ++i) {
    ops.push_back(Operation::startAccept(session, false));
    pending.push_back(ops.back().get());
  }
  // While it waits for its turn, only the caller's deadline for everything bounds it.
  SAM::TimeLimits soon = limits;
  soon.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  session.setTimeLimits(soon);
  auto late = Operation::startAccept(session, false);
  session.setTimeLimits(limits);
  pending.push_back(late.get());
  // Steps until the bridge has `count` accepts and every other pending one waits for its turn.
  const auto sent = [&](std::size_t count) {
    for (;;) {
      std::size_t waiting = 0, running = 0;
      for (Operation* op : pending) {
        if (op == nullptr || op == late.get() || op->progress() != Progress::PENDING) continue;
        (op->timeoutMs() == -1 ? waiting : running)++;
      }
      const std::size_t atBridge = bridge.linesStartingWith("STREAM ACCEPT").size();
      if (atBridge > count || (atBridge == count && running <= 1)) return atBridge;
      Operation::wait(pending.data(), pending.size(), 10);
    }
  };
  EXPECT_EQ(sent(1), 1u);
  EXPECT_FALSE(ops[0]->waitsForPeer()) << "its status line has not come";
  ops[1].reset();  // freed while it waits: its turn passes on
  pending[1] = nullptr;
  while (late->progress() == Progress::PENDING) Operation::wait(pending.data(), pending.size(), -1);
  EXPECT_EQ(late->error().reason,
            "STREAM ACCEPT: not sent before the deadline, waiting for the status line of the "
            "session's previous accept");
  EXPECT_EQ(late->error().code, ErrorCode::TIMED_OUT);
  EXPECT_EQ(sent(1), 1u);
  statuses[0]->open();
  EXPECT_EQ(sent(2), 2u);
  statuses[1]->open();
  EXPECT_EQ(sent(3), 3u);
  statuses[2]->open();
  runAll(pending);
  for (int i : {0, 2, 3}) {
    ASSERT_EQ(ops[i]->progress(), Progress::DONE) << ops[i]->error().reason;
    EXPECT_EQ(ops[i]->peerDestination(), testKeyPub());
    EXPECT_EQ(drain(*ops[i]->takeSocket()), "stream " + std::to_string(i == 0 ? 0 : i - 1));
  }
  EXPECT_EQ(accepts.load(), 3);
}

// Operations freed in every phase close their connections and leave no descriptor behind, and
// the session they were started on is none the worse for it.
TEST(OperationTest, FreedHalfWayLeaveNothingBehind) {
  const int descriptorsBefore = openDescriptors();
  uint16_t fullPort = 0;
  const int full = velqor_test::loopbackSocket(fullPort, 0);
  const int queued = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const sockaddr_in fullAddress{AF_INET, htons(fullPort), {htonl(INADDR_LOOPBACK)}, {}};
  ::connect(queued, reinterpret_cast<const sockaddr*>(&fullAddress), sizeof fullAddress);
  {
    FakeBridge bridge;
    StreamSession session("freed", kHost, bridge.port());
    for (const char* held : {"NAMING LOOKUP", "DEST GENERATE", "STREAM ACCEPT"}) {
      bridge.on(held, [](BridgeConnection& conn, const std::string&) { conn.readAll(); });
    }
    bridge.on("STREAM CONNECT", [](BridgeConnection& conn, const std::string&) {
      conn.send(kStreamOk + "never read");
      conn.readAll();
    });
    std::vector<std::unique_ptr<Operation>> ops;
    ops.push_back(Operation::startStreamSession("freed", kHost, fullPort));  // connecting
    ops.push_back(Operation::startNamingLookup(session, "site.i2p"));        // its reply
    ops.push_back(Operation::startDestGenerate(session));
    ops.push_back(Operation::startAccept(session, false));           // its status line
    ops.push_back(Operation::startAccept(session, true));            // its turn
    ops.push_back(Operation::startConnect(session, "peer", false));  // done, never taken
    std::vector<Operation*> all;
    for (auto& op : ops) all.push_back(op.get());
    // Two lines of the session, two of each operation but the accept waiting its turn (HELLO).
    while (bridge.lines().size() < 11 || ops[5]->progress() == Progress::PENDING) {
      Operation::wait(all.data(), all.size(), 10);
    }
    const int connections = bridge.connectionCount();
    ops.clear();
    for (int id = 1; id < connections; ++id) bridge.waitUntilClosed(id);
    EXPECT_FALSE(session.isSick());
    EXPECT_TRUE(session.getLastError().ok()) << session.getLastError().reason;
    EXPECT_TRUE(session.checkAlive());
  }
  ::close(queued);
  ::close(full);
  EXPECT_EQ(openDescriptors(), descriptorsBefore) << "a descriptor leaked";
}

}  // namespace
