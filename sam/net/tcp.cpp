#include "sam/net/tcp.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

namespace SAM {
namespace net {

namespace {

bool wouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

}  // namespace

int openStreamSocket() { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0); }

Outcome startConnect(int fd, const sockaddr_in& address) {
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return {};
  // An interrupted connect goes on in the background, as one in progress does.
  if (errno == EINPROGRESS || errno == EINTR) return {Outcome::AGAIN};
  return Outcome::failed(errno);
}

Outcome finishConnect(int fd) {
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
  return error == 0 ? Outcome() : Outcome::failed(error);
}

Outcome connect(int fd, const sockaddr_in& address, const Deadline& deadline,
                const std::atomic<bool>& cancelled) {
  Outcome outcome = startConnect(fd, address);
  if (outcome.kind == Outcome::AGAIN) {
    if (!deadline.waitFor(fd, POLLOUT)) return {Outcome::TIMED_OUT};
    outcome = finishConnect(fd);
  }
  if (cancelled) return {Outcome::CANCELLED};
  return outcome;
}

Outcome sendSome(int fd, const char* data, std::size_t size, std::size_t& sent) {
  sent = 0;
  const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n >= 0) {
    sent = static_cast<std::size_t>(n);
    return {};
  }
  // MSG_NOSIGNAL: a reset peer gives EPIPE here instead of killing the process.
  return wouldBlock(errno) ? Outcome{Outcome::AGAIN} : Outcome::failed(errno);
}

Outcome sendAll(int fd, const char* data, std::size_t size, const Deadline& deadline,
                const std::atomic<bool>& cancelled, std::size_t& sent) {
  // Without a limit the send blocks as long as it takes; with one it never blocks, and the
  // waits happen in poll().
  const int flags = MSG_NOSIGNAL | (deadline.isSet() ? MSG_DONTWAIT : 0);
  sent = 0;
  while (sent < size) {
    const ssize_t n = ::send(fd, data + sent, size - sent, flags);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    const int error = errno;
    if (cancelled) return {Outcome::CANCELLED};
    if (n == -1 && error == EINTR) continue;
    if (n == -1 && (error == EAGAIN || error == EWOULDBLOCK) && deadline.isSet()) {
      if (deadline.waitFor(fd, POLLOUT)) continue;
      return {Outcome::TIMED_OUT};
    }
    return Outcome::failed(n == 0 ? EPIPE : error);
  }
  return {};
}

Outcome receiveSome(int fd, char* buffer, std::size_t size, bool peek, std::size_t& received) {
  received = 0;
  const ssize_t n = ::recv(fd, buffer, size, MSG_DONTWAIT | (peek ? MSG_PEEK : 0));
  if (n > 0) {
    received = static_cast<std::size_t>(n);
    return {};
  }
  if (n == 0) return {Outcome::CLOSED};
  return wouldBlock(errno) ? Outcome{Outcome::AGAIN} : Outcome::failed(errno);
}

Outcome receive(int fd, std::string& bytes, std::size_t size, const Deadline& deadline,
                const std::atomic<bool>& cancelled) {
  // Without a limit the receive blocks as long as it takes; with one it never blocks, and the
  // waits happen in poll().
  const int flags = deadline.isSet() ? MSG_DONTWAIT : 0;
  const std::size_t before = bytes.size();
  bytes.resize(before + size);
  for (;;) {
    const ssize_t n = ::recv(fd, &bytes[before], size, flags);
    const int error = errno;
    if (n > 0) {
      bytes.resize(before + static_cast<std::size_t>(n));
      return {};
    }
    Outcome outcome;
    if (cancelled) {
      outcome = {Outcome::CANCELLED};
    } else if (n == 0) {
      outcome = {Outcome::CLOSED};
    } else if (error == EINTR) {
      continue;
    } else if ((error == EAGAIN || error == EWOULDBLOCK) && deadline.isSet()) {
      if (deadline.waitFor(fd, POLLIN)) continue;
      outcome = {Outcome::TIMED_OUT};
    } else {
      outcome = Outcome::failed(error);
    }
    bytes.resize(before);
    return outcome;
  }
}

Outcome peerState(int fd) {
  // POLLRDHUP shows the peer's end of the connection even behind bytes it sent that are still
  // unread; POLLIN alone would show those bytes and hide the end for good.
  pollfd entry{fd, POLLIN | POLLRDHUP, 0};
  int ready;
  do {
    ready = ::poll(&entry, 1, 0);
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0 || (entry.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) == 0) return {};
  int error = 0;
  socklen_t length = sizeof error;
  if ((entry.revents & (POLLERR | POLLNVAL)) != 0 &&
      ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
    error = errno;
  }
  return error == 0 ? Outcome{Outcome::CLOSED} : Outcome::failed(error);
}

Outcome localAddress(int fd, sockaddr_in& address) {
  socklen_t length = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return Outcome::failed(errno);
  }
  return {};
}

std::string addressText(const in_addr& address) {
  char text[INET_ADDRSTRLEN] = "?";
  ::inet_ntop(AF_INET, &address, text, sizeof text);
  return text;
}

}  // namespace net
}  // namespace SAM
