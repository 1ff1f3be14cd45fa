#include "local_tcp_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace velqor_interop {

LocalTcpServer::LocalTcpServer(Handler handler) : handler_(std::move(handler)) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;  // lets the kernel choose a port that old connections hold in TIME_WAIT
  ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listenFd_, 16) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
    if (listenFd_ >= 0) ::close(listenFd_);
    throw std::runtime_error("cannot listen on a loopback port");
  }
  port_ = ntohs(addr.sin_port);
  acceptThread_ = std::thread([this] { acceptLoop(); });
}

LocalTcpServer::~LocalTcpServer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    for (int fd : openFds_) ::shutdown(fd, SHUT_RDWR);  // wakes handlers blocked in recv
  }
  ::shutdown(listenFd_, SHUT_RDWR);  // wakes the accept loop
  acceptThread_.join();
  ::close(listenFd_);
  for (std::thread& worker : workers_) worker.join();
}

void LocalTcpServer::acceptLoop() {
  for (;;) {
    const int fd = ::accept(listenFd_, nullptr, nullptr);
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) {
      if (fd >= 0) ::close(fd);
      return;
    }
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;
    }
    ++accepted_;
    openFds_.push_back(fd);
    workers_.emplace_back([this, fd] {
      handler_(fd);
      std::lock_guard<std::mutex> lock(mutex_);
      openFds_.erase(std::find(openFds_.begin(), openFds_.end(), fd));
      ::close(fd);
      ++served_;
      cv_.notify_all();
    });
  }
}

int LocalTcpServer::connectionCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return accepted_;
}

bool LocalTcpServer::waitForServed(int count, std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, limit, [&] { return served_ >= count; });
}

std::string receiveAll(int fd) { return receiveUntil(fd, ""); }

std::string receiveUntil(int fd, const std::string& marker) {
  std::string received;
  char buffer[16384];
  while (marker.empty() || received.find(marker) == std::string::npos) {
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    received.append(buffer, static_cast<std::size_t>(got));
  }
  return received;
}

bool sendAll(int fd, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace velqor_interop
