#include "sam/net/udp.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace SAM {
namespace net {

int openDatagramSocket(sockaddr_in& local, bool& bindFailed) {
  bindFailed = false;
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd == -1) return -1;
  bindFailed = true;
  socklen_t length = sizeof local;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return -1;
  }
  bindFailed = false;
  return fd;
}

Outcome sendDatagram(int fd, const char* data, std::size_t size, const sockaddr_in& to,
                     const Deadline& deadline) {
  for (;;) {
    const ssize_t n =
        ::sendto(fd, data, size, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    if (n == static_cast<ssize_t>(size)) return {};
    const int error = n < 0 ? errno : EMSGSIZE;
    if (error == EINTR) continue;
    if (error == EAGAIN || error == EWOULDBLOCK) {
      // The socket's send buffer is full: wait until it takes the datagram.
      if (deadline.waitFor(fd, POLLOUT)) continue;
      return {Outcome::TIMED_OUT};
    }
    return Outcome::failed(error);
  }
}

Outcome receiveDatagram(int fd, char* buffer, std::size_t capacity, sockaddr_in& from,
                        std::size_t& size, bool& truncated) {
  iovec piece{buffer, capacity};
  msghdr message{};
  message.msg_name = &from;
  message.msg_namelen = sizeof from;
  message.msg_iov = &piece;
  message.msg_iovlen = 1;
  // With MSG_TRUNC the size returned is that of the whole datagram, even when it is larger
  // than the buffer.
  const ssize_t n = ::recvmsg(fd, &message, MSG_DONTWAIT | MSG_TRUNC);
  if (n < 0) {
    const int error = errno;
    return error == EINTR || error == EAGAIN || error == EWOULDBLOCK ? Outcome{Outcome::AGAIN}
                                                                     : Outcome::failed(error);
  }
  size = static_cast<std::size_t>(n);
  truncated = (message.msg_flags & MSG_TRUNC) != 0 || size > capacity;
  // A sender of another family or none at all is no address to compare with.
  if (message.msg_namelen != sizeof from) from.sin_family = AF_UNSPEC;
  return {};
}

bool sameAddress(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_family == b.sin_family && a.sin_addr.s_addr == b.sin_addr.s_addr &&
         a.sin_port == b.sin_port;
}

}  // namespace net
}  // namespace SAM
