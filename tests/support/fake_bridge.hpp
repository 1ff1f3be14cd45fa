// A scripted SAM bridge on an ephemeral loopback port: answers each line by the rules a test
// gives and records it; its UDP side takes and sends datagrams.
#ifndef VELQOR_TESTS_FAKE_BRIDGE_HPP
#define VELQOR_TESTS_FAKE_BRIDGE_HPP

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velqor_test {

// A real EdDSA key pair (908 and 524 characters), and the descriptors open in this process.
const std::string& testKeyPriv();
const std::string& testKeyPub();
int openDescriptors();
// A TCP socket on a free loopback port (written to `port`) that listens with `backlog`, or is
// only bound when `backlog` is negative, so that connects to it are refused. A backlog of 0
// holds one connection, which is made at once: no connect to it is answered after that.
int loopbackSocket(uint16_t& port, int backlog);

// A one-shot barrier: wait() blocks until open() has been called.
class Gate {
 public:
  void open() {
    std::call_once(once_, [this] { opening_.set_value(); });
  }
  void wait() { opened_.wait(); }

 private:
  std::once_flag once_;
  std::promise<void> opening_;
  std::shared_future<void> opened_ = opening_.get_future().share();
};

// One accepted connection, seen from the bridge; its methods run inside a rule's handler.
class BridgeConnection {
 public:
  BridgeConnection(int fd, int id, uint16_t peerPort) : fd_(fd), id_(id), peerPort_(peerPort) {}
  ~BridgeConnection();

  int id() const { return id_; }
  bool send(const std::string& bytes);  // false once the client has gone
  // Sends each piece once the client (in this process) has taken every byte before it out of
  // its receive queue, so that it sees the pieces in separate receives.
  void sendSplit(const std::vector<std::string>& pieces);
  // Waits until every byte sent so far is in the client's receive queue and, with `read`, out of
  // it again: taken by the client.
  void waitUntilPeerHas(bool read);
  std::string readLine();  // the next line with its "\n", or "" when the client closed first
  std::string readSome(std::size_t limit = 65536);  // at most `limit` bytes; "" at the end
  std::string readAll();                            // until the client closes
  void close();
  void reset();          // ends the connection with a TCP reset, as a crashed peer does
  void shutdownWrite();  // the client's reads see the end
  bool isClosed() const { return closed_; }

 private:
  bool receive(std::size_t limit);

  int fd_;
  int id_;
  uint16_t peerPort_;
  std::atomic<bool> closed_{false};
  uint64_t sentBytes_ = 0;
  std::string buffer_;
};

class FakeBridge {
 public:
  // Handles one line received on `conn`: sends anything, waits on a Gate, closes, or serves a
  // stream.
  using Handler = std::function<void(BridgeConnection& conn, const std::string& line)>;

  // HELLO gets version 3.1, SESSION CREATE OK and testKeyPriv(); an unmatched line a close.
  FakeBridge();
  ~FakeBridge();  // closes every connection, opens every gate, joins every thread

  uint16_t port() const { return port_; }
  // The UDP side: its port, the next datagram it gets, and one sent to 127.0.0.1:`port` from
  // it, or from `fromAddress`:`fromPort` (0: any port) when given.
  uint16_t udpPort() const { return udpPort_; }
  std::string receiveDatagram();
  void sendDatagram(uint16_t port, const std::string& bytes, const std::string& fromAddress = "",
                    uint16_t fromPort = 0);

  // A rule for lines that start with `prefix`; later rules take precedence.
  void on(const std::string& prefix, Handler handler);
  void on(const std::string& prefix, const std::string& reply);
  // A gate that the destructor opens, so that a waiting handler cannot block the shutdown.
  std::shared_ptr<Gate> makeGate();
  // Joins streams as a bridge joins two sessions: each STREAM CONNECT is paired with the oldest
  // STREAM ACCEPT still waiting (or waits for one), both get "STREAM STATUS RESULT=OK", the
  // accept (unless silent) a line with the connecting side's destination, testKeyPub(), and
  // then the bytes go between the two until either side ends, whose end the other then sees.
  void pairStreams();

  // Every line received, with its "\n", in order of arrival, or those that start with `prefix`.
  std::vector<std::string> lines() const;
  std::vector<std::string> linesStartingWith(const std::string& prefix) const;
  int connectionCount() const;
  // Whether connection `id` (0, 1, ... as accepted) has ended, by either side.
  bool isConnectionClosed(int id) const;
  void waitUntilClosed(int id) const;
  // Closes connection `id` as a bridge that ends a session does, and waits until it has ended.
  // Does nothing for an id not accepted yet.
  void closeConnection(int id);

 private:
  struct Worker {
    std::thread thread;
    std::shared_ptr<BridgeConnection> conn;
  };
  void acceptLoop();
  void serve(BridgeConnection& conn);

  int listenFd_, udpFd_;
  uint16_t port_ = 0, udpPort_ = 0;
  std::thread acceptThread_;
  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  std::vector<std::pair<std::string, Handler>> rules_;
  std::vector<std::string> lines_;
  std::vector<bool> closed_;
  std::vector<Worker> workers_;
  std::vector<std::shared_ptr<Gate>> gates_;
  bool stopping_ = false;  // the destructor has opened the gates
};

}  // namespace velqor_test

#endif  // VELQOR_TESTS_FAKE_BRIDGE_HPP
