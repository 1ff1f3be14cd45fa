// Streams between two sessions of the real bridge, through its connect and accept.
#include <gtest/gtest.h>
#include <velqor/sam.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <string>
#include <thread>

#include "interop_environment.hpp"
#include "stream_bytes.hpp"

namespace velqor_interop {
namespace {

constexpr std::size_t kMebibyte = 1024 * 1024;

// The most bytes that any connection to the bridge at `bridgePort` has received and its owner
// not yet read, from the kernel's table of TCP sockets.
std::size_t largestUnreadQueue(uint16_t bridgePort) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // header
  std::size_t largest = 0;
  while (std::getline(table, line)) {
    unsigned remotePort = 0, state = 0, sendQueue = 0, receiveQueue = 0;
    if (std::sscanf(line.c_str(), " %*d: %*x:%*x %*x:%x %x %x:%x", &remotePort, &state, &sendQueue,
                    &receiveQueue) == 4 &&
        remotePort == bridgePort) {
      largest = std::max<std::size_t>(largest, receiveQueue);
    }
  }
  return largest;
}

// Waits until a connection to the bridge holds `bytes` unread bytes. The kernel gives no
// notice of that, so the table is looked at every few milliseconds, for at most 30 s.
bool waitForUnreadBytes(uint16_t bridgePort, std::size_t bytes) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (largestUnreadQueue(bridgePort) < bytes) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

struct ServerCase {
  const char* name;
  SAM::StreamSession& (*server)();
};

class StreamExchange : public ::testing::TestWithParam<ServerCase> {};

// The client connects first: the bridge holds the incoming stream until the server accepts,
// so a failed connect leaves no thread waiting. The accepting side then often receives the
// peer's destination line glued to the first data.
TEST_P(StreamExchange, MebibyteEachWayArrivesByteForByte) {
  SAM::StreamSession& client = interop().client();
  SAM::StreamSession& server = GetParam().server();
  const std::string upload = patternBytes(kMebibyte, 1);
  const std::string download = patternBytes(kMebibyte, 2);

  auto connected = client.connect(server.getMyDestination().pub, false);
  ASSERT_TRUE(connected.isOk);
  // A first piece waits in the bridge until the server takes the stream.
  const std::size_t firstPiece = 1000;
  connected.value->write(upload.substr(0, firstPiece));
  auto accepted = server.accept(false);
  ASSERT_TRUE(accepted.isOk);
  EXPECT_EQ(accepted.value->readLine(), client.getMyDestination().pub + "\n");

  SAM::I2pSocket& clientStream = *connected.value;
  auto clientSide = std::async(std::launch::async, [&] {
    clientStream.write(upload.substr(firstPiece));
    return readExactly(clientStream, download.size());
  });
  SAM::I2pSocket& serverStream = *accepted.value;
  const std::string receivedByServer = readExactly(serverStream, upload.size());
  serverStream.write(download);
  const std::string receivedByClient = clientSide.get();

  EXPECT_TRUE(receivedByServer == upload) << describeDifference(upload, receivedByServer);
  EXPECT_TRUE(receivedByClient == download) << describeDifference(download, receivedByClient);
  connected.value->close();
  EXPECT_EQ(readUntilEnd(serverStream), "") << "the client's close ends the server's stream";
  EXPECT_FALSE(client.isSick());
  EXPECT_FALSE(server.isSick());
}

// A server that speaks first: its greeting reaches the client while the client has not yet
// read the STREAM STATUS line, so the line and the greeting come in one receive. None of the
// greeting may be lost.
TEST_P(StreamExchange, FirstBytesOfAServerThatSpeaksFirstArriveAfterTheStatusLine) {
  SAM::StreamSession& client = interop().client();
  SAM::StreamSession& server = GetParam().server();
  const std::string greeting = "220 velqor interop\n" + patternBytes(3000, 3);

  SAM::I2pSocket clientStream(client.getSAMAddress());
  ASSERT_TRUE(clientStream.isOk());
  clientStream.write(
      SAM::Message::streamConnect(client.getSessionID(), server.getMyDestination().pub, false));
  auto accepted = server.accept(false);
  ASSERT_TRUE(accepted.isOk);
  EXPECT_EQ(accepted.value->readLine(), client.getMyDestination().pub + "\n");
  accepted.value->write(greeting);
  accepted.value->close();
  const std::string statusLine = "STREAM STATUS RESULT=OK\n";
  ASSERT_TRUE(
      waitForUnreadBytes(interop().router().samPort(), statusLine.size() + greeting.size()));

  EXPECT_EQ(clientStream.readLine(), "STREAM STATUS RESULT=OK\n");
  const std::string received = readUntilEnd(clientStream);
  EXPECT_TRUE(received == greeting) << describeDifference(greeting, received);
}

SAM::StreamSession& transientServer() { return interop().transientServer(); }
SAM::StreamSession& fixedServer() { return interop().fixedServer(); }

INSTANTIATE_TEST_SUITE_P(BothKindsOfDestination, StreamExchange,
                         ::testing::Values(ServerCase{"Transient", transientServer},
                                           ServerCase{"FixedKey", fixedServer}),
                         [](const ::testing::TestParamInfo<ServerCase>& info) {
                           return std::string(info.param.name);
                         });

// With SILENT=true the bridge sends no STREAM STATUS line at all: the stream starts at once.
// The server's first bytes must reach the caller as stream bytes, not be taken for a reply.
TEST(SilentStream, ConnectHandsOverTheServersFirstBytes) {
  SAM::StreamSession& client = interop().client();
  SAM::StreamSession& server = interop().transientServer();
  const std::string greeting = "hello from the server\n";

  auto accepted = server.accept(false);
  ASSERT_TRUE(accepted.isOk);
  SAM::I2pSocket& serverStream = *accepted.value;
  auto serverSide = std::async(std::launch::async, [&] {
    serverStream.readLine();  // the client's destination: the stream has begun
    serverStream.write(greeting);
    return readUntilEnd(serverStream);  // ends when the client closes, also on failure
  });
  auto connected = client.connect(server.getMyDestination().pub, true);
  const bool isOk = connected.isOk;
  std::string received;
  if (isOk) {
    received = readExactly(*connected.value, greeting.size());
    connected.value->write("thanks");
    connected.value->close();
  }
  const std::string reply = serverSide.get();
  EXPECT_TRUE(isOk);
  EXPECT_EQ(received, greeting);
  EXPECT_EQ(reply, "thanks");
  EXPECT_FALSE(client.isSick());
}

// The client's first bytes end in a newline: a library that waited for a reply line would take
// them for one (and fail) rather than wait forever.
TEST(SilentStream, AcceptHandsOverTheClientsFirstBytes) {
  SAM::StreamSession& client = interop().client();
  SAM::StreamSession& server = interop().transientServer();
  const std::string firstLine = "first line\n";
  auto serverSide = std::async(std::launch::async, [&] {
    auto accepted = server.accept(true);
    return accepted.isOk ? readExactly(*accepted.value, firstLine.size())
                         : std::string("(accept failed)");
  });
  auto connected = client.connect(server.getMyDestination().pub, false);
  ASSERT_TRUE(connected.isOk);
  connected.value->write(firstLine);
  EXPECT_EQ(serverSide.get(), firstLine);
  EXPECT_FALSE(server.isSick());
}

}  // namespace
}  // namespace velqor_interop
