#include "tool_fake_site.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

bool sendAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool sendText(int fd, const std::string& text) { return sendAll(fd, text.data(), text.size()); }

// Reads one line ("\n" included) through `buffer`; "" when the peer is gone.
std::string readLine(int fd, std::string& buffer) {
  for (;;) {
    const std::size_t newline = buffer.find('\n');
    if (newline != std::string::npos) {
      std::string line = buffer.substr(0, newline + 1);
      buffer.erase(0, newline + 1);
      return line;
    }
    char chunk[4096];
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return "";
    buffer.append(chunk, static_cast<std::size_t>(n));
  }
}

bool startsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

}  // namespace

FakeSiteBridge::FakeSiteBridge(std::string pagePath) : pagePath_(std::move(pagePath)) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listenFd_, 16) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
    return;
  }
  port_ = ntohs(addr.sin_port);
  acceptThread_ = std::thread([this] { acceptLoop(); });
}

FakeSiteBridge::~FakeSiteBridge() {
  if (listenFd_ >= 0) ::shutdown(listenFd_, SHUT_RDWR);
  if (acceptThread_.joinable()) acceptThread_.join();
  if (listenFd_ >= 0) ::close(listenFd_);
  std::lock_guard<std::mutex> lock(mutex_);
  for (int fd : connections_) ::shutdown(fd, SHUT_RDWR);
  for (auto& worker : workers_) worker.join();
  for (int fd : connections_) ::close(fd);
}

void FakeSiteBridge::acceptLoop() {
  for (;;) {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    connections_.push_back(fd);
    workers_.emplace_back([this, fd] { serve(fd); });
  }
}

void FakeSiteBridge::serve(int fd) {
  // Any 884 characters of base64 do for a private destination here.
  const std::string destination(884, 'A');
  std::string buffer;
  for (std::string line = readLine(fd, buffer); !line.empty(); line = readLine(fd, buffer)) {
    if (startsWith(line, "HELLO VERSION")) {
      sendText(fd, "HELLO REPLY RESULT=OK VERSION=3.1\n");
    } else if (startsWith(line, "SESSION CREATE")) {
      sendText(fd, "SESSION STATUS RESULT=OK DESTINATION=" + destination + "\n");
    } else if (startsWith(line, "NAMING LOOKUP")) {
      sendText(fd, "NAMING REPLY RESULT=OK NAME=site VALUE=" + destination.substr(0, 516) + "\n");
    } else if (startsWith(line, "STREAM CONNECT")) {
      sendText(fd, "STREAM STATUS RESULT=OK\n");
      for (std::string request = readLine(fd, buffer); !request.empty() && request != "\r\n";
           request = readLine(fd, buffer)) {
      }
      sendPage(fd);
      ::shutdown(fd, SHUT_WR);
    } else {
      break;
    }
  }
  ::shutdown(fd, SHUT_RDWR);
}

void FakeSiteBridge::sendPage(int fd) {
  const int page = ::open(pagePath_.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info {};
  if (page < 0 || ::fstat(page, &info) != 0) {
    sendText(fd, "HTTP/1.1 500 No Page\r\nContent-Length: 0\r\n\r\n");
    if (page >= 0) ::close(page);
    return;
  }
  sendText(fd, "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                   std::to_string(info.st_size) + "\r\n\r\n");
  char chunk[64 * 1024];
  for (;;) {
    const ssize_t n = ::read(page, chunk, sizeof chunk);
    if (n <= 0 || !sendAll(fd, chunk, static_cast<std::size_t>(n))) break;
  }
  ::close(page);
}
