// The bridge connection over real loopback sockets, against the scripted fake bridge.
#include <arpa/inet.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <velqor/sam.hpp>

#include "fake_bridge.hpp"

namespace {

using SAM::I2pSocket;
using velqor_test::BridgeConnection;
using velqor_test::FakeBridge;

const std::string kHelloOk = "HELLO REPLY RESULT=OK VERSION=3.1\n";

// Reads until `size` bytes have come or the connection ends; checks that no read exceeds
// the 4096 bytes of one receive.
std::string readBytes(I2pSocket& socket, std::size_t size) {
  std::string all;
  while (all.size() < size) {
    const std::string piece = socket.read();
    EXPECT_LE(piece.size(), 4096u);
    if (piece.empty()) break;
    all += piece;
  }
  return all;
}

// Answers HELLO with `bytes` sent as they stand; with `thenEnd`, then ends the stream, so a
// client that lost bytes sees the end instead of waiting for them.
void answerHello(FakeBridge& bridge, const std::string& bytes, bool thenEnd) {
  bridge.on("HELLO VERSION", [bytes, thenEnd](BridgeConnection& c, const std::string&) {
    c.send(bytes);
    if (thenEnd) c.shutdownWrite();
  });
}

TEST(I2pSocketTest, HandshakeOutcomes) {
  struct Case {
    const char* what;
    FakeBridge::Handler hello;
    bool open;
    std::string version;
  };
  const std::vector<Case> cases = {
      {"ready", [](BridgeConnection& c, const std::string&) { c.send(kHelloOk); }, true, "3.1"},
      {"refused, kept open",
       [](BridgeConnection& c, const std::string&) { c.send("HELLO REPLY RESULT=NOVERSION\n"); },
       true, ""},
      {"closed at once", [](BridgeConnection& c, const std::string&) { c.close(); }, false, ""},
      {"reply split across sends",
       [](BridgeConnection& c, const std::string&) {
         c.sendSplit({"HELLO REPLY RES", "ULT=OK VER", "SION=3.1", "\n"});
       },
       true, "3.1"},
      {"reply without a newline, closed",
       [](BridgeConnection& c, const std::string&) {
         c.send("HELLO REPLY RESULT=OK VERSION=3.1");
         c.close();
       },
       false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeBridge bridge;
    bridge.on("HELLO VERSION", c.hello);
    I2pSocket socket("127.0.0.1", bridge.port());
    EXPECT_EQ(socket.isOk(), c.open);
    EXPECT_EQ(socket.getVersion(), c.version);
    EXPECT_EQ(socket.getHost(), "127.0.0.1");
    EXPECT_EQ(socket.getPort(), bridge.port());
    EXPECT_EQ(bridge.lines(), std::vector<std::string>{"HELLO VERSION MIN=3.0 MAX=3.1\n"});
    if (c.open) {
      EXPECT_FALSE(bridge.isConnectionClosed(0));
    }
  }
}

TEST(I2pSocketTest, NothingListening) {
  // A bound socket that does not listen keeps the port taken and refuses every connect.
  const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(holder, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  socklen_t len = sizeof addr;
  ASSERT_EQ(getsockname(holder, reinterpret_cast<sockaddr*>(&addr), &len), 0);

  I2pSocket socket("127.0.0.1", ntohs(addr.sin_port));
  EXPECT_FALSE(socket.isOk());
  EXPECT_EQ(socket.getVersion(), "");
  EXPECT_EQ(socket.read(), "");
  EXPECT_EQ(socket.release(), -1);
  ::close(holder);
}

TEST(I2pSocketTest, AddressIsBuiltFromNumericHostAndPort) {
  I2pSocket socket("127.0.0.1", 7656);
  unsigned char bytes[sizeof(sockaddr_in)];
  std::memcpy(bytes, &socket.getAddress(), sizeof bytes);
  EXPECT_EQ(socket.getAddress().sin_family, AF_INET);
  const std::vector<unsigned char> rest(bytes + 2, bytes + 16);
  EXPECT_EQ(rest, (std::vector<unsigned char>{0x1D, 0xE8, 127, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(socket.getPort(), 7656);
  EXPECT_EQ(socket.getHost(), "127.0.0.1");
}

TEST(I2pSocketTest, HostNamesAreNotResolved) {
  FakeBridge bridge;
  I2pSocket socket("localhost", bridge.port());
  EXPECT_FALSE(socket.isOk());
  EXPECT_EQ(socket.getHost(), "localhost");
  EXPECT_EQ(socket.getAddress().sin_addr.s_addr, INADDR_NONE);
  EXPECT_EQ(socket.getVersion(), "");
}

TEST(I2pSocketTest, ConnectsToAGivenAddress) {
  FakeBridge bridge;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(bridge.port());
  I2pSocket socket(addr);
  EXPECT_TRUE(socket.isOk());
  EXPECT_EQ(socket.getVersion(), "3.1");
  EXPECT_EQ(socket.getHost(), "");
  EXPECT_EQ(socket.getPort(), bridge.port());
}

TEST(I2pSocketTest, BytesAfterTheReplyLineWaitForTheNextRead) {
  FakeBridge bridge;
  answerHello(bridge, kHelloOk + "LINE ONE\nLINE TWO\nstream bytes", true);
  I2pSocket socket("127.0.0.1", bridge.port());
  ASSERT_EQ(socket.getVersion(), "3.1");
  EXPECT_EQ(socket.readLine(), "LINE ONE\n");
  EXPECT_EQ(socket.readLine(), "LINE TWO\n");
  EXPECT_EQ(readBytes(socket, 12), "stream bytes");
}

TEST(I2pSocketTest, ReadIsBinarySafe) {
  FakeBridge bridge;
  const std::string first("\0\0ab\0c", 6);
  const std::string second("\0tail", 5);
  const std::string large(10000, '\0');
  bridge.on("HELLO VERSION", [&](BridgeConnection& c, const std::string&) {
    c.sendSplit({kHelloOk, first, second, large});
  });
  I2pSocket socket("127.0.0.1", bridge.port());
  ASSERT_TRUE(socket.isOk());
  // Each piece comes in a receive of its own, so each read starts with a zero byte.
  EXPECT_EQ(socket.read(), first);
  EXPECT_EQ(socket.read(), second);
  EXPECT_EQ(readBytes(socket, large.size()), large);
  EXPECT_TRUE(socket.isOk());
}

TEST(I2pSocketTest, ReplyLinesAreBounded) {
  const std::size_t max = I2pSocket::maxReplyLength;
  struct Case {
    const char* what;
    std::string bytes;
    bool accepted;
  };
  const std::vector<Case> cases = {
      {"longest line", std::string(max - 1, 'a') + "\n", true},
      {"one byte too long", std::string(max, 'a') + "\n", false},
      {"no newline at all", std::string(3 * max, 'a'), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FakeBridge bridge;
    // Only the accepted line may end the stream: the others must be refused by the bound alone.
    answerHello(bridge, kHelloOk + c.bytes, c.accepted);
    I2pSocket socket("127.0.0.1", bridge.port());
    ASSERT_EQ(socket.getVersion(), "3.1");
    const std::string line = socket.readLine();
    if (c.accepted) {
      EXPECT_EQ(line, c.bytes);
      EXPECT_TRUE(socket.isOk());
    } else {
      EXPECT_EQ(line, "");
      ASSERT_FALSE(socket.isOk());
      bridge.waitUntilClosed(0);
    }
  }

  FakeBridge silent;
  answerHello(silent, std::string(2 * max, 'a'), false);
  I2pSocket refused("127.0.0.1", silent.port());
  EXPECT_FALSE(refused.isOk());
  EXPECT_EQ(refused.getVersion(), "");
}

void ignoreSignal(int) {}

TEST(I2pSocketTest, WriteSendsEverythingThroughInterruptions) {
  // The bridge reads in small pieces and interrupts the writing thread with a signal after
  // each one, so the blocked send returns early again and again.
  struct sigaction action {};
  struct sigaction previous {};
  action.sa_handler = ignoreSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: the send returns a short count or EINTR
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
  I2pSocket socket("127.0.0.1", bridge.port());
  ASSERT_TRUE(socket.isOk());
  writing = true;
  socket.write(data);
  writing = false;
  EXPECT_TRUE(socket.isOk());
  socket.close();
  done->wait();
  sigaction(SIGUSR1, &previous, nullptr);

  EXPECT_EQ(received.size(), data.size());
  EXPECT_TRUE(received == data);
}

TEST(I2pSocketTest, WriteToAResetConnectionFailsWithoutSigpipe) {
  // SIGPIPE is blocked rather than handled, so a send that raises it leaves it pending here
  // instead of ending the test program.
  sigset_t pipeOnly;
  sigset_t previousMask;
  sigemptyset(&pipeOnly);
  sigaddset(&pipeOnly, SIGPIPE);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &pipeOnly, &previousMask), 0);

  FakeBridge bridge;
  bridge.on("HELLO VERSION", [](BridgeConnection& c, const std::string&) {
    c.send(kHelloOk);
    c.close();
  });
  I2pSocket socket("127.0.0.1", bridge.port());
  ASSERT_EQ(socket.getVersion(), "3.1");
  bridge.waitUntilClosed(0);
  // The first bytes reach the closed peer, which answers with a reset; a later send fails.
  const std::string chunk(64 * 1024, 'x');
  for (int i = 0; i < 1000 && socket.isOk(); ++i) socket.write(chunk);
  EXPECT_FALSE(socket.isOk());

  sigset_t pending;
  sigpending(&pending);
  const bool raised = sigismember(&pending, SIGPIPE) == 1;
  if (raised) {
    const timespec now{0, 0};
    sigtimedwait(&pipeOnly, nullptr, &now);
  }
  pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
  EXPECT_FALSE(raised) << "a send raised SIGPIPE";
}

TEST(I2pSocketTest, EmptyWriteCloses) {
  FakeBridge bridge;
  I2pSocket socket("127.0.0.1", bridge.port());
  ASSERT_TRUE(socket.isOk());
  socket.write("");
  ASSERT_FALSE(socket.isOk());
  bridge.waitUntilClosed(0);
  EXPECT_EQ(bridge.lines().size(), 1u);
}

TEST(I2pSocketTest, CloseIsFinalAndRepeatable) {
  FakeBridge bridge;
  I2pSocket socket("127.0.0.1", bridge.port());
  ASSERT_TRUE(socket.isOk());
  socket.close();
  EXPECT_FALSE(socket.isOk());
  bridge.waitUntilClosed(0);
  socket.close();
  EXPECT_EQ(socket.read(), "");
  EXPECT_EQ(socket.readLine(), "");
  EXPECT_EQ(socket.release(), -1);
  EXPECT_EQ(socket.getVersion(), "3.1");
}

TEST(I2pSocketTest, ReleaseHandsOverTheDescriptor) {
  FakeBridge bridge;
  int fd = -1;
  {
    I2pSocket socket("127.0.0.1", bridge.port());
    ASSERT_TRUE(socket.isOk());
    fd = socket.release();
    EXPECT_GE(fd, 0);
    EXPECT_FALSE(socket.isOk());
    EXPECT_EQ(socket.release(), -1);
    EXPECT_EQ(socket.read(), "");
  }
  // The object is gone; the descriptor still belongs to a live connection.
  ASSERT_NE(fcntl(fd, F_GETFD), -1);
  const std::string line = "NAMING LOOKUP NAME=after.release\n";
  ASSERT_EQ(::send(fd, line.data(), line.size(), MSG_NOSIGNAL), static_cast<ssize_t>(line.size()));
  bridge.waitForLines(2);
  EXPECT_EQ(bridge.lines()[1], line);
  ::close(fd);
  bridge.waitUntilClosed(0);
}

TEST(I2pSocketTest, CopyOpensAConnectionWithItsOwnHandshake) {
  FakeBridge bridge;
  bridge.on("HELLO VERSION", [](BridgeConnection& c, const std::string&) {
    c.send("HELLO REPLY RESULT=OK VERSION=3." + std::to_string(c.id()) + "\n");
  });
  I2pSocket original("127.0.0.1", bridge.port());
  ASSERT_EQ(original.getVersion(), "3.0");
  {
    I2pSocket copy(original);
    EXPECT_TRUE(copy.isOk());
    EXPECT_EQ(copy.getVersion(), "3.1");
    EXPECT_EQ(copy.getHost(), "");
    EXPECT_EQ(std::memcmp(&copy.getAddress(), &original.getAddress(), sizeof(sockaddr_in)), 0);
    EXPECT_EQ(bridge.connectionCount(), 2);
    EXPECT_EQ(bridge.linesStartingWith("HELLO VERSION MIN=3.0 MAX=3.1\n").size(), 2u);
  }
  bridge.waitUntilClosed(1);
  EXPECT_TRUE(original.isOk());
  EXPECT_EQ(original.getVersion(), "3.0");
  EXPECT_EQ(original.getHost(), "127.0.0.1");
  EXPECT_FALSE(bridge.isConnectionClosed(0));

  I2pSocket closed(original);
  closed.close();
  I2pSocket copyOfClosed(closed);  // the address is all a copy takes
  EXPECT_TRUE(copyOfClosed.isOk());
  EXPECT_EQ(copyOfClosed.getVersion(), "3.3");
}

}  // namespace
