// The flat C interface connecting and accepting over the real bridge.
#include <gtest/gtest.h>
#include <velqor/velqor.h>
#include <velqor/sam.hpp>

#include <cstdlib>
#include <future>
#include <string>

#include "interop_environment.hpp"
#include "stream_bytes.hpp"

namespace velqor_interop {
namespace {

constexpr std::size_t kPayloadSize = 256 * 1024;

std::string takeString(char* text) {
  std::string copy = text != nullptr ? text : "";
  std::free(text);
  return copy;
}

std::string publicDestinationOf(velqor_stream_session* session) {
  velqor_destination* destination = velqor_get_my_destination(session);
  std::string pub = takeString(velqor_destination_pub(destination));
  velqor_destination_free(destination);
  return pub;
}

// Reads from `socket` until `size` bytes have arrived or the stream has ended.
std::string readExactlyC(velqor_socket* socket, std::size_t size) {
  std::string received;
  while (received.size() < size) {
    std::size_t length = 0;
    char* chunk = velqor_read(socket, &length);
    if (chunk == nullptr) break;
    received.append(chunk, length);
    std::free(chunk);
  }
  return received;
}

TEST(CInterface, ConnectCarriesBytesBothWays) {
  velqor_stream_session* session = interop().cSession();
  SAM::StreamSession& server = interop().transientServer();
  const std::string upload = patternBytes(kPayloadSize, 5);
  const std::string download = patternBytes(kPayloadSize, 6);

  velqor_socket* stream =
      velqor_connect(session, server.getMyDestination().pub.c_str(), /*silent=*/0);
  ASSERT_NE(stream, nullptr);
  auto accepted = server.accept(false);
  ASSERT_TRUE(accepted.isOk);
  EXPECT_EQ(accepted.value->readLine(), publicDestinationOf(session) + "\n");

  auto cSide = std::async(std::launch::async, [&] {
    velqor_write(stream, upload.data(), upload.size());
    return readExactlyC(stream, download.size());
  });
  const std::string receivedByServer = readExactly(*accepted.value, upload.size());
  accepted.value->write(download);
  const std::string receivedByC = cSide.get();
  velqor_socket_free(stream);

  EXPECT_TRUE(receivedByServer == upload) << describeDifference(upload, receivedByServer);
  EXPECT_TRUE(receivedByC == download) << describeDifference(download, receivedByC);
  EXPECT_EQ(velqor_is_sick(session), 0);
}

TEST(CInterface, AcceptCarriesBytesBothWays) {
  velqor_stream_session* session = interop().cSession();
  SAM::StreamSession& client = interop().client();
  const std::string upload = patternBytes(kPayloadSize, 7);
  const std::string download = patternBytes(kPayloadSize, 8);

  auto connected = client.connect(publicDestinationOf(session), false);
  ASSERT_TRUE(connected.isOk);
  velqor_socket* stream = velqor_accept(session, /*silent=*/0);
  ASSERT_NE(stream, nullptr);

  auto clientSide = std::async(std::launch::async, [&] {
    connected.value->write(upload);
    return readExactly(*connected.value, download.size());
  });
  // Not silent: the peer's destination comes first, as one line; the C interface hands over
  // raw bytes, so the line is split off here.
  const std::string peerLine = client.getMyDestination().pub + "\n";
  std::string received = readExactlyC(stream, peerLine.size() + upload.size());
  EXPECT_EQ(received.substr(0, peerLine.size()), peerLine);
  received.erase(0, peerLine.size());
  velqor_write(stream, download.data(), download.size());
  const std::string receivedByClient = clientSide.get();
  velqor_socket_free(stream);

  EXPECT_TRUE(received == upload) << describeDifference(upload, received);
  EXPECT_TRUE(receivedByClient == download) << describeDifference(download, receivedByClient);
  EXPECT_EQ(velqor_is_sick(session), 0);
}

}  // namespace
}  // namespace velqor_interop
