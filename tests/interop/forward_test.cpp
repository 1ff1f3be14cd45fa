// Forwarding incoming streams to a local TCP server, ending it, and rebuilding a session.
#include <gtest/gtest.h>
#include <velqor/sam.hpp>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "interop_environment.hpp"
#include "local_tcp_server.hpp"
#include "stream_bytes.hpp"

namespace velqor_interop {
namespace {

// A bound on waits for a forwarded connection, so that a lost stream fails the test instead
// of hanging it.
constexpr std::chrono::seconds kForwardLimit(60);

// A local server that records everything each connection sends.
class RecordingServer {
 public:
  RecordingServer()
      : server_([this](int fd) {
          const std::string received = receiveAll(fd);
          std::lock_guard<std::mutex> lock(mutex_);
          received_.push_back(received);
        }) {}

  uint16_t port() const { return server_.port(); }
  int connectionCount() const { return server_.connectionCount(); }
  // What connection `index` sent, once `index` + 1 connections have been served.
  std::string received(int index) {
    if (!server_.waitForServed(index + 1, kForwardLimit)) return "(no connection)";
    std::lock_guard<std::mutex> lock(mutex_);
    return received_[static_cast<std::size_t>(index)];
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> received_;
  LocalTcpServer server_;
};

// Ends a forward of a shared session when the test ends, also when an assertion returns early,
// so that one failure does not leave the session forwarding for the tests after it.
class ForwardScope {
 public:
  ForwardScope(SAM::StreamSession& session, uint16_t port) : session_(session), port_(port) {}
  ~ForwardScope() { session_.stopForwarding("127.0.0.1", port_); }
  ForwardScope(const ForwardScope&) = delete;
  ForwardScope& operator=(const ForwardScope&) = delete;

 private:
  SAM::StreamSession& session_;
  uint16_t port_;
};

// Opens a stream from the client to `destination`, sends `bytes` and closes it.
void sendThroughI2p(const std::string& destination, const std::string& bytes) {
  auto connected = interop().client().connect(destination, false);
  ASSERT_TRUE(connected.isOk);
  connected.value->write(bytes);
  connected.value->close();
}

// i2pd connects a forward to the SAM client's own address whatever HOST says, and allows one
// forward per session: a second one is refused with I2P_ERROR "Already accepting". So the
// second forward below succeeds only when stopForwarding has really ended the first.
TEST(Forward, DeliversStreamsUntilStopForwardingEndsIt) {
  SAM::StreamSession& server = interop().transientServer();
  const std::string destination = server.getMyDestination().pub;
  RecordingServer first;
  RecordingServer second;

  ASSERT_TRUE(server.forward("127.0.0.1", first.port(), false).isOk);
  const ForwardScope firstScope(server, first.port());
  const std::string payload = patternBytes(64 * 1024, 4);
  sendThroughI2p(destination, payload);
  // Not silent: the local server first learns the peer's destination.
  const std::string expected = interop().client().getMyDestination().pub + "\n" + payload;
  const std::string received = first.received(0);
  EXPECT_TRUE(received == expected) << describeDifference(expected, received);

  server.stopForwarding("127.0.0.1", first.port());
  ASSERT_TRUE(server.forward("127.0.0.1", second.port(), true).isOk);
  const ForwardScope secondScope(server, second.port());
  sendThroughI2p(destination, "to the second server");
  EXPECT_EQ(second.received(0), "to the second server");
  EXPECT_EQ(first.connectionCount(), 1);
  EXPECT_FALSE(server.isSick());
}

// The rebuilt session takes the same destination under a new identifier and makes the forwards
// of the old one again. On i2pd 2.45 the bridge hands the rebuilt session the destination that
// the old one stopped, and that destination no longer publishes its lease set: only peers that
// knew it before reach it. So the client reaches the site once before the rebuild.
TEST(Forward, RebuiltSessionForwardsAgainUnderTheSameDestination) {
  SAM::StreamSession& old = interop().rebuildable();
  const SAM::FullDestination destination = old.getMyDestination();
  RecordingServer site;
  ASSERT_TRUE(old.forward("127.0.0.1", site.port(), true).isOk);
  sendThroughI2p(destination.pub, "before the rebuild");
  EXPECT_EQ(site.received(0), "before the rebuild");

  auto rebuilt = std::make_unique<SAM::StreamSession>(old);
  EXPECT_TRUE(old.isSick());
  ASSERT_FALSE(rebuilt->isSick()) << interop().router().logTail();
  EXPECT_NE(rebuilt->getSessionID(), old.getSessionID());
  EXPECT_EQ(rebuilt->getMyDestination().pub, destination.pub);
  EXPECT_EQ(rebuilt->getMyDestination().priv, destination.priv);
  interop().replaceRebuildable(std::move(rebuilt));

  sendThroughI2p(destination.pub, "after the rebuild");
  EXPECT_EQ(site.received(1), "after the rebuild");
  EXPECT_EQ(site.connectionCount(), 2);
  EXPECT_FALSE(interop().rebuildable().isSick());
}

}  // namespace
}  // namespace velqor_interop
