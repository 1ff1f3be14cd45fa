// Moving bytes on one TCP connection (IPv4). The waiting forms wait in poll() within a Deadline
// and report an Outcome; none of them closes the descriptor, which is its owner's to close.
// Internal: not part of the public interface.
#ifndef VELQOR_SAM_NET_TCP_HPP
#define VELQOR_SAM_NET_TCP_HPP

#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <string>

#include "sam/net/deadline.hpp"
#include "sam/net/outcome.hpp"

namespace SAM {
namespace net {

// A new non-blocking, close-on-exec TCP socket; -1 with errno set when none can be made.
int openStreamSocket();

// Starts connecting the non-blocking `fd` to `address`: DONE when connected at once, AGAIN
// while the connect goes on (wait for POLLOUT, then finishConnect), else FAILED.
Outcome startConnect(int fd, const sockaddr_in& address);
// The result of a connect that was started and whose descriptor became writable.
Outcome finishConnect(int fd);
// startConnect, and the wait for it within `deadline`; CANCELLED when `cancelled` was raised.
Outcome connect(int fd, const sockaddr_in& address, const Deadline& deadline,
                const std::atomic<bool>& cancelled);

// One send of what `fd` takes now, without blocking and without SIGPIPE; `sent` gets the count.
// AGAIN when it takes nothing now; an interruption counts as AGAIN with nothing sent.
Outcome sendSome(int fd, const char* data, std::size_t size, std::size_t& sent);
// Sends all `size` bytes, waiting in poll() within `deadline` whenever the connection takes no
// more; without a deadline the sends block. `sent` gets the count sent before any failure.
Outcome sendAll(int fd, const char* data, std::size_t size, const Deadline& deadline,
                const std::atomic<bool>& cancelled, std::size_t& sent);

// One receive of at most `size` bytes into `buffer` without blocking; `received` gets the
// count. With `peek` the bytes stay queued. AGAIN when none are there now (or on an
// interruption), CLOSED at the peer's end.
Outcome receiveSome(int fd, char* buffer, std::size_t size, bool peek, std::size_t& received);
// Receives once (at most `size` bytes), waiting within `deadline`; without a deadline the
// receive blocks. Appends what came to `bytes`.
Outcome receive(int fd, std::string& bytes, std::size_t size, const Deadline& deadline,
                const std::atomic<bool>& cancelled);

// Whether the peer has ended the connection or it failed, seen without blocking and without
// reading: DONE while it is open (bytes waiting to be read included), CLOSED at its end (also
// behind unread bytes), FAILED with the socket's error.
Outcome peerState(int fd);

// The local address of the connected `fd`; FAILED with errno when it has none.
Outcome localAddress(int fd, sockaddr_in& address);
// Text of `address` as "a.b.c.d".
std::string addressText(const in_addr& address);

}  // namespace net
}  // namespace SAM

#endif  // VELQOR_SAM_NET_TCP_HPP
