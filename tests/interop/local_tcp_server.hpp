// A TCP server on an ephemeral loopback port that serves each connection on a thread of its
// own: the stand-in for a local service that a session forwards I2P streams to.
#ifndef VELQOR_TESTS_INTEROP_LOCAL_TCP_SERVER_HPP
#define VELQOR_TESTS_INTEROP_LOCAL_TCP_SERVER_HPP

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velqor_interop {

class LocalTcpServer {
 public:
  // Serves one connection, given as a connected descriptor; the server closes it afterwards.
  using Handler = std::function<void(int fd)>;

  // Listens on 127.0.0.1 with a port chosen by the kernel. Throws std::runtime_error when it
  // cannot.
  explicit LocalTcpServer(Handler handler);
  // Stops listening, shuts down the connections still being served and joins every thread.
  ~LocalTcpServer();
  LocalTcpServer(const LocalTcpServer&) = delete;
  LocalTcpServer& operator=(const LocalTcpServer&) = delete;

  uint16_t port() const { return port_; }
  // Connections accepted so far.
  int connectionCount() const;
  // Waits until `count` connections have been served to the end, for at most `limit` (a
  // guard against a hung test, not a measure). Returns true when they have.
  bool waitForServed(int count, std::chrono::milliseconds limit) const;

 private:
  void acceptLoop();

  Handler handler_;
  int listenFd_ = -1;
  uint16_t port_ = 0;
  std::thread acceptThread_;

  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  bool stopping_ = false;
  int accepted_ = 0;
  int served_ = 0;
  std::vector<int> openFds_;
  std::vector<std::thread> workers_;
};

// Helpers for handlers.
// Reads until the peer closes; returns everything it sent.
std::string receiveAll(int fd);
// Reads until `marker` has arrived (or the peer closes); returns what was read.
std::string receiveUntil(int fd, const std::string& marker);
// Sends all of `bytes`; returns false when the connection fails first.
bool sendAll(int fd, const std::string& bytes);

}  // namespace velqor_interop

#endif  // VELQOR_TESTS_INTEROP_LOCAL_TCP_SERVER_HPP
