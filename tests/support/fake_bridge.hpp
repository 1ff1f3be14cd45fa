// A scripted SAM bridge for tests: listens on an ephemeral loopback port, answers each line it
// receives from a script, and records every line. Its UDP side takes and sends datagrams.
#ifndef VELQOR_TESTS_FAKE_BRIDGE_HPP
#define VELQOR_TESTS_FAKE_BRIDGE_HPP

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velqor_test {

// The private and public destination of a real EdDSA key pair (908 and 524 characters).
const std::string& testKeyPriv();
const std::string& testKeyPub();

// A one-shot barrier: wait() blocks until open() has been called (by any thread).
class Gate {
 public:
  void open();
  void wait();
  bool isOpen() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

// One accepted connection, seen from the bridge. Its methods run on the connection's own
// thread, from inside a rule's handler.
class BridgeConnection {
 public:
  BridgeConnection(int fd, int id, uint16_t peerPort);
  ~BridgeConnection();
  BridgeConnection(const BridgeConnection&) = delete;
  BridgeConnection& operator=(const BridgeConnection&) = delete;

  // The number of this connection: 0 for the first accepted, then 1, 2, ...
  int id() const { return id_; }

  // Sends all of `bytes` (zero bytes included) in one send call.
  void send(const std::string& bytes);
  // Sends each piece in a send of its own and, before sending the next, waits until the
  // client has taken the previous one out of its receive queue. A client in this process
  // therefore sees the pieces in separate receives.
  // REQUIRES: the client sends nothing that the bridge answers while the pieces go out.
  void sendSplit(const std::vector<std::string>& pieces);
  // Returns the next line ("\n" included), or "" when the client closed first.
  std::string readLine();
  // Returns the next bytes the client sent (buffered ones first), at most `limit` of them, or
  // "" at end of stream.
  std::string readSome(std::size_t limit = 65536);
  // Reads until the client closes and returns everything it sent.
  std::string readAll();
  // Closes the connection from the bridge's side.
  void close();
  // Stops sending (half-close); the client's reads see the end of the stream.
  void shutdownWrite();
  bool isClosed() const { return closed_; }

 private:
  void waitUntilPeerHasRead();

  int fd_;
  std::atomic<bool> closed_{false};
  int id_;
  uint16_t peerPort_;
  uint64_t sentBytes_ = 0;  // every byte sent on this connection so far
  std::string buffer_;
};

class FakeBridge {
 public:
  // Handles one received line on `conn`. It may send any bytes, split or whole, hold back on
  // a Gate, close the connection, or go on to serve the connection as a stream.
  using Handler = std::function<void(BridgeConnection& conn, const std::string& line)>;

  // Starts listening on 127.0.0.1 with a port chosen by the kernel. The default script
  // answers HELLO with "HELLO REPLY RESULT=OK VERSION=3.1" and SESSION CREATE with OK and
  // testKeyPriv() as DESTINATION. A line that no rule matches closes the connection.
  FakeBridge();
  // Closes every connection, opens every gate and joins every thread.
  ~FakeBridge();
  FakeBridge(const FakeBridge&) = delete;
  FakeBridge& operator=(const FakeBridge&) = delete;

  uint16_t port() const { return port_; }

  // The UDP side: a socket on 127.0.0.1 with a port chosen by the kernel, which a datagram
  // session is told to use as the bridge's UDP port.
  uint16_t udpPort() const { return udpPort_; }
  // Waits for the next datagram on the UDP port and returns it whole.
  std::string receiveDatagram();
  // Sends `bytes` as one datagram to 127.0.0.1:`port`: from the UDP port when `fromAddress` is
  // "", else from a socket of its own bound to `fromAddress`:`fromPort` (0: any port).
  void sendDatagram(uint16_t port, const std::string& bytes, const std::string& fromAddress = "",
                    uint16_t fromPort = 0);

  // Adds a rule for lines that start with `prefix`. Rules added later take precedence, so a
  // test can replace the default answers.
  void on(const std::string& prefix, Handler handler);
  // Adds a rule that sends `reply` as it stands.
  void on(const std::string& prefix, const std::string& reply);

  // A gate that the destructor opens, so a held handler cannot block the shutdown.
  std::shared_ptr<Gate> makeGate();

  // Every line received on any connection, in arrival order, "\n" included.
  std::vector<std::string> lines() const;
  // Lines received that start with `prefix`.
  std::vector<std::string> linesStartingWith(const std::string& prefix) const;
  int connectionCount() const;
  // True when the client has closed connection `id` (or it was closed by a handler).
  bool isConnectionClosed(int id) const;

  // Closes connection `id` from the bridge's side, as a bridge that ends a session does, and
  // waits until its handler has seen the end. Nothing happens for an id not accepted yet.
  void closeConnection(int id);

  void waitForConnections(int count) const;
  void waitForLines(std::size_t count) const;
  void waitUntilClosed(int id) const;

 private:
  struct Rule {
    std::string prefix;
    Handler handler;
  };
  struct Worker {
    std::thread thread;
    std::shared_ptr<BridgeConnection> conn;
    bool done = false;
  };

  void acceptLoop();
  void serve(const std::shared_ptr<BridgeConnection>& conn);
  Handler findHandler(const std::string& line) const;

  int listenFd_ = -1;
  uint16_t port_ = 0;
  int udpFd_ = -1;
  uint16_t udpPort_ = 0;
  std::thread acceptThread_;

  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  bool stopping_ = false;
  std::vector<Rule> rules_;
  std::vector<std::string> lines_;
  std::vector<bool> closed_;
  std::vector<std::shared_ptr<Worker>> workers_;
  std::vector<std::shared_ptr<Gate>> gates_;
};

}  // namespace velqor_test

#endif  // VELQOR_TESTS_FAKE_BRIDGE_HPP
