// What the session layer does with an I2pSocket beyond its public interface: read a reply line
// under the reply limit, in the name of the request it answers. Internal: not part of the
// public interface.
#ifndef VELQOR_SAM_SESSION_SOCKET_ACCESS_HPP
#define VELQOR_SAM_SESSION_SOCKET_ACCESS_HPP

#include <velqor/i2p_socket.hpp>

#include <chrono>
#include <string>

namespace SAM {

class Deadline;

struct SocketAccess {
  // The next line, as I2pSocket::readLine() takes it, within `limit` (and the socket's
  // deadline); a failure's reason names `phase`. "" on failure, which closed the socket.
  static std::string takeLine(I2pSocket& socket, const std::string& phase,
                              std::chrono::milliseconds limit);

  static const std::string& minVersion(const I2pSocket& socket) { return socket.samMinVer; }
  static const std::string& maxVersion(const I2pSocket& socket) { return socket.samMaxVer; }

  // The steps of construction: the TCP connect, then the HELLO exchange.
  static void connect(I2pSocket& socket);
  static void handshake(I2pSocket& socket);
  // Receives once into `bytes`; false after a failure, which closed the socket.
  static bool receive(I2pSocket& socket, std::string& bytes, const char* phase,
                      const Deadline& deadline);
  // False when the socket cannot be used by a call named `phase`; after cancel() this closes
  // it and records that.
  static bool usable(I2pSocket& socket, const char* phase);
  // Closes the connection and records why.
  static void fail(I2pSocket& socket, ErrorCode code, int systemError, const std::string& reason);
  // "host:port" as given, or the address, for reasons.
  static std::string peerName(const I2pSocket& socket);
};

}  // namespace SAM

#endif  // VELQOR_SAM_SESSION_SOCKET_ACCESS_HPP
