// One TCP connection to a SAM bridge. Part of <velqor/sam.hpp>.
#ifndef VELQOR_I2P_SOCKET_HPP
#define VELQOR_I2P_SOCKET_HPP

#include <netinet/in.h>
#include <velqor/export.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace SAM {

// One blocking TCP connection (IPv4) to a SAM bridge, owning its descriptor exclusively.
//
// Construction connects and sends "HELLO VERSION MIN=3.0 MAX=3.1"; it never throws. After
// construction isOk() tells whether the connection is open, and getVersion() is the version
// the bridge chose ("" when the bridge refused or did not answer).
//
// Once a STREAM CONNECT or STREAM ACCEPT has succeeded on it, the object carries that
// stream's bytes. A failed send or receive closes the connection.
class VELQOR_EXPORT I2pSocket {
 public:
  // The longest reply line that readLine() accepts, "\n" included.
  static constexpr std::size_t maxReplyLength = 64 * 1024;

  // Connects to `SAMHost` (numeric IPv4 only: names are not resolved) and `SAMPort`.
  I2pSocket(const std::string& SAMHost, uint16_t SAMPort);
  // Connects to `addr`. getHost() is then empty and getPort() is the port of `addr`.
  explicit I2pSocket(const sockaddr_in& addr);
  // Opens a new connection, with its own handshake, to the address of `other`.
  // Nothing of `other` is shared or changed.
  I2pSocket(const I2pSocket& other);
  // Not assignable: a socket is one connection. Make a new object instead.
  I2pSocket& operator=(const I2pSocket&) = delete;
  // Closes the connection if it is still open.
  ~I2pSocket();

  // Sends every byte of `msg`, zero bytes included, retrying partial and interrupted sends.
  // REQUIRES: isOk(); otherwise nothing is sent.
  // A failed send (a reset peer included) closes the connection; SIGPIPE is never raised.
  // CAVEAT: writing an empty text closes the connection.
  void write(const std::string& msg);

  // Returns the bytes of one receive (at most 4096), zero bytes included; bytes kept back
  // from an earlier readLine() come first. Returns "" only when the connection is not open,
  // the peer closed it, or the receive failed; in the last two cases it is now closed.
  std::string read();

  // Returns the next line, "\n" included, receiving as often as it takes; the bytes after
  // the "\n" are kept for the next read() or readLine(). Returns "" (and closes the
  // connection) when the connection ends or fails before a whole line, or when no "\n" comes
  // within maxReplyLength bytes.
  std::string readLine();

  // Closes the connection. Harmless when already closed.
  void close();
  // Gives the descriptor to the caller without closing it, and returns it (-1 when closed).
  // Bytes kept back by readLine() are dropped.
  int release();

  bool isOk() const;
  const std::string& getHost() const;
  uint16_t getPort() const;
  const std::string& getVersion() const;
  const sockaddr_in& getAddress() const;

 private:
  friend class StreamSession;  // reads samMinVer and samMaxVer

  void bootstrapI2P();
  void init();
  void handshake();

  const std::string samMinVer;
  const std::string samMaxVer;
  int socket;
  sockaddr_in servAddr;
  std::string SAMHost;
  uint16_t SAMPort;
  std::string version;
  std::string pending;  // bytes received after the last line that readLine() returned
};

}  // namespace SAM

#endif  // VELQOR_I2P_SOCKET_HPP
