// Moving datagrams on one UDP socket (IPv4). Internal: not part of the public interface.
#ifndef VELQOR_SAM_NET_UDP_HPP
#define VELQOR_SAM_NET_UDP_HPP

#include <netinet/in.h>

#include <cstddef>

#include "sam/net/deadline.hpp"
#include "sam/net/outcome.hpp"

namespace SAM {
namespace net {

// A new non-blocking, close-on-exec UDP socket bound to `local` (its port 0: one the system
// chooses), whose bound address is written back to `local`; -1 with errno set on failure, and
// `bindFailed` true when the socket was made but could not be bound.
int openDatagramSocket(sockaddr_in& local, bool& bindFailed);

// Sends one datagram of `size` bytes to `to`, waiting within `deadline` while the socket's send
// buffer is full. FAILED with EMSGSIZE when the system took only a part.
Outcome sendDatagram(int fd, const char* data, std::size_t size, const sockaddr_in& to,
                     const Deadline& deadline);

// Takes one datagram, without blocking, into `buffer`: `size` gets its whole size (also when it
// was larger than `capacity`, which `truncated` then says) and `from` its sender. AGAIN when
// none is queued.
Outcome receiveDatagram(int fd, char* buffer, std::size_t capacity, sockaddr_in& from,
                        std::size_t& size, bool& truncated);

// Whether `a` and `b` are the same IPv4 address and port.
bool sameAddress(const sockaddr_in& a, const sockaddr_in& b);

}  // namespace net
}  // namespace SAM

#endif  // VELQOR_SAM_NET_UDP_HPP
