// What the session layer does with an I2pSocket beyond its public interface: run exchanges on it
// in the name of the request they serve, blocking or step by step, and make and hand on
// connections for the operations. Internal: not part of the public interface.
#ifndef VELQOR_SAM_SESSION_SOCKET_ACCESS_HPP
#define VELQOR_SAM_SESSION_SOCKET_ACCESS_HPP

#include <velqor/i2p_socket.hpp>

#include <chrono>
#include <memory>
#include <string>

#include "sam/net/deadline.hpp"
#include "sam/net/outcome.hpp"
#include "sam/wire/exchange.hpp"

namespace SAM {

struct SessionLink;

struct SocketAccess {
  using State = I2pSocket::State;

  // Runs `exchange` to its end on the blocking socket: its line within the write limit, its
  // reply lines within `replyLimit` (one limit for all of them), as write() and readLine() do,
  // with the exchange's name in the reasons. False when it failed, which closed the socket.
  static bool run(I2pSocket& socket, wire::Exchange& exchange,
                  std::chrono::milliseconds replyLimit);

  // The rest of construction: the TCP connect within the connect limit, then the HELLO.
  static void connectBlocking(I2pSocket& socket);

  static const std::string& minVersion(const I2pSocket& socket) { return socket.samMinVer; }
  static const std::string& maxVersion(const I2pSocket& socket) { return socket.samMaxVer; }

  // The HELLO exchange of a connected socket, and what its reply means for the socket: the
  // version, or the bridge's refusal (the connection then stays open).
  static wire::Exchange hello(const I2pSocket& socket);
  static void heard(I2pSocket& socket, const wire::Exchange& hello);

  // For the operations, which drive a socket step by step without blocking:
  // a socket for `addr` that is not connected yet;
  static std::unique_ptr<I2pSocket> notConnected(const sockaddr_in& addr, const std::string& host,
                                                 const TimeLimits& limits);
  // a socket that takes over `socket`, which is left closed;
  static I2pSocket handOver(I2pSocket& socket) {
    return I2pSocket(std::move(socket), I2pSocket::Internal::HANDED_OVER);
  }
  // starts the connect (DONE when connected at once, AGAIN while it goes on, else the failure
  // has closed the socket), and the end of one that went on;
  static net::Outcome startConnect(I2pSocket& socket);
  static net::Outcome finishConnect(I2pSocket& socket);
  // sends what `exchange` has to send, and takes what it reads, as far as the socket goes
  // without blocking: DONE when that part of the exchange is over, AGAIN when the socket is not
  // ready; a failure closed the socket. Received bytes are peeked at and only those the
  // exchange takes are consumed, so nothing after its lines leaves the descriptor.
  static net::Outcome sendSome(I2pSocket& socket, wire::Exchange& exchange);
  static net::Outcome receiveSome(I2pSocket& socket, wire::Exchange& exchange);
  // fails the socket when the limit of its phase passed: the connect, a write, or a reply.
  enum class Phase { CONNECT, WRITE, REPLY };
  static void timedOut(I2pSocket& socket, Phase phase, const std::string& name,
                       const Deadline& deadline);
  // the blocking mode a handed-out stream has.
  static void makeBlocking(I2pSocket& socket);

  // The link between a session and its operations, kept with its control connection; made at
  // the first call.
  static const std::shared_ptr<SessionLink>& link(I2pSocket& control);
  static std::shared_ptr<SessionLink> existingLink(const I2pSocket& control);

  // Closes the connection (once neither direction is in a call) and records why.
  static void fail(I2pSocket& socket, ErrorCode code, int systemError, const std::string& reason);
  // "host:port" as given, or the address, for reasons.
  static std::string peerName(const I2pSocket& socket);
};

}  // namespace SAM

#endif  // VELQOR_SAM_SESSION_SOCKET_ACCESS_HPP
