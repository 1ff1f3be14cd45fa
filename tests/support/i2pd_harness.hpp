// The interop harness: the sandbox's private i2pd router (on free loopback ports, in a temporary
// directory of its own), a loopback server for what comes out of I2P, and sessions made at once.
#ifndef VELQOR_TESTS_I2PD_HARNESS_HPP
#define VELQOR_TESTS_I2PD_HARNESS_HPP

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <velqor/sam.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "fake_bridge.hpp"  // loopbackSocket()
#include "i2pd_router.hpp"

namespace velqor_interop {

using velqor_sandbox::I2pdRouter;
using velqor_sandbox::kRouterHost;
using velqor_sandbox::kServerSessionOptions;
using velqor_sandbox::kZeroHopOptions;

// Makes a T (a session) in a thread of its own: a session costs about 20 s on this router
// whatever else runs, so all are started at once.
template <class T, class... Arguments>
std::future<std::unique_ptr<T>> startMaking(Arguments... arguments) {
  return std::async(std::launch::async, [=] { return std::make_unique<T>(arguments...); });
}

inline std::string readTextFile(const std::string& path) {  // "" when unreadable
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Reads from `fd` until `marker` has come, or with "" until the peer closes.
inline std::string receiveUntil(int fd, const std::string& marker) {
  std::string received;
  char buffer[16384];
  ssize_t got = 0;
  while ((marker.empty() || received.find(marker) == std::string::npos) &&
         (got = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
    received.append(buffer, static_cast<std::size_t>(got));
  return received;
}

// A TCP server on an ephemeral loopback port, serving its connections one after the other with
// `serve`, which returns what the peer sent.
class LocalServer {
 public:
  explicit LocalServer(std::function<std::string(int fd)> serve =
                           [](int fd) { return receiveUntil(fd, ""); })
      : listen_(velqor_test::loopbackSocket(port_, 16)) {
    if (port_ == 0) throw std::runtime_error("cannot listen");
    thread_ = std::thread([this, serve] {
      for (int fd; (fd = ::accept(listen_, nullptr, nullptr)) >= 0; ::close(fd)) {
        timeval limit{60, 0};  // a peer that stays silent does not hold the server
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        const std::string got = serve(fd);
        std::lock_guard<std::mutex> lock(mutex_);
        received_.push_back(got);
        served_.notify_all();
      }
    });
  }
  ~LocalServer() {
    ::shutdown(listen_, SHUT_RDWR);  // ends accept(), and the thread once `serve` has returned
    thread_.join();
    ::close(listen_);
  }

  uint16_t port() const { return port_; }
  // What connection `index` sent, once it has been served; "(no connection)" after 60 s.
  std::string received(std::size_t index) {
    std::unique_lock<std::mutex> lock(mutex_);
    const bool served =
        served_.wait_for(lock, std::chrono::seconds(60), [&] { return received_.size() > index; });
    return served ? received_[index] : "(no connection)";
  }

 private:
  uint16_t port_ = 0;  // before listen_, which sets it
  int listen_;
  std::mutex mutex_;
  std::condition_variable served_;
  std::vector<std::string> received_;
  std::thread thread_;
};

}  // namespace velqor_interop

#endif  // VELQOR_TESTS_I2PD_HARNESS_HPP
