/// \file
/// One TCP connection to a SAM bridge. Part of <velqor/sam.hpp>.
#ifndef VELQOR_I2P_SOCKET_HPP
#define VELQOR_I2P_SOCKET_HPP

#include <netinet/in.h>
#include <velqor/export.h>
#include <velqor/error.hpp>
#include <velqor/settings.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace SAM {

/// One blocking TCP connection (IPv4) to a SAM bridge, owning its descriptor exclusively.
///
/// Construction connects and sends "HELLO VERSION MIN=3.0 MAX=3.1"; it never throws. After
/// construction isOk() tells whether the connection is open, and getVersion() is the version
/// the bridge chose ("" when the bridge refused or did not answer).
///
/// Once a STREAM CONNECT or STREAM ACCEPT has succeeded on it, the object carries that
/// stream's bytes. A failed send or receive closes the connection, and getLastError() tells
/// why. Without time limits (the default) every call blocks until it is done; with them
/// (TimeLimits) each phase ends when its limit passes.
///
/// Thread safety: full duplex, as a TCP socket. One thread may be in read() or readLine() while
/// another is in write(); any thread may call cancel() at any time while the object exists.
///  1. Two reads, or two writes, must not overlap; nor may close(), release(), setTimeLimits()
///     or the destructor overlap any other call.
///  2. A failure in one direction closes the connection for both: the other direction's call
///     returns promptly as a failure too, and the descriptor is closed once neither is in a
///     call, so its number is never reused under the other thread's feet.
///  3. isOk() and getDescriptor() may be called from either side at any time. getLastError()
///     reads a record that either side's failure writes: read it once the other direction's
///     call has returned (each call's own result says whether it failed).
class VELQOR_EXPORT I2pSocket {
 public:
  /// The longest reply line that readLine() accepts, `"\n"` included.
  static constexpr std::size_t maxReplyLength = 64 * 1024;

  /// Connects to `SAMHost` and `SAMPort`. `SAMHost` is a numeric IPv4 address or a host name,
  /// which is resolved here, once, to its first IPv4 address (getaddrinfo; IPv6 is not
  /// supported). A name that does not resolve leaves the socket closed with ErrorCode::RESOLVE.
  /// CAVEAT: resolving a name is not bounded by the connect limit; the system resolver's own
  /// limits apply.
  I2pSocket(const std::string& SAMHost, uint16_t SAMPort);
  /// As above, with `limits` for the connect, the handshake and every later call.
  I2pSocket(const std::string& SAMHost, uint16_t SAMPort, const TimeLimits& limits);
  /// Connects to `addr`. getHost() is then empty and getPort() is the port of `addr`.
  explicit I2pSocket(const sockaddr_in& addr);
  /// As above, with `limits` for the connect, the handshake and every later call.
  I2pSocket(const sockaddr_in& addr, const TimeLimits& limits);
  /// Opens a new connection, with its own handshake, to the address of `other`, with the time
  /// limits of `other`; getHost() is that of `other`. Nothing of `other` is shared or changed.
  I2pSocket(const I2pSocket& other);
  /// Not assignable: a socket is one connection. Make a new object instead.
  I2pSocket& operator=(const I2pSocket&) = delete;
  /// Closes the connection if it is still open.
  ~I2pSocket();

  /// Sends every byte of `msg`, zero bytes included, retrying partial and interrupted sends.
  /// REQUIRES: isOk(); otherwise nothing is sent.
  /// A failed send (a reset peer included) closes the connection; SIGPIPE is never raised.
  /// With a write limit, a send not finished within it fails the same way (TIMED_OUT).
  /// CAVEAT: writing an empty text closes the connection.
  void write(const std::string& msg);

  /// Returns the bytes of one receive (at most 4096), zero bytes included; bytes kept back
  /// from an earlier readLine() come first. Returns "" only when the connection is not open,
  /// the peer closed it, the receive failed, or no byte came within the read limit; in the
  /// last three cases it is now closed.
  std::string read();

  /// Returns the next line, `"\n"` included, receiving as often as it takes; the bytes after
  /// the `"\n"` are kept for the next read() or readLine(). Returns "" (and closes the
  /// connection) when the connection ends or fails before a whole line, when no `"\n"` comes
  /// within maxReplyLength bytes, or when the whole line does not come within the read limit.
  std::string readLine();

  /// Makes a call blocked on this socket in another thread (the connect of a constructor,
  /// write, read or readLine) return promptly as a failure (ErrorCode::CANCELLED), and every
  /// later call fail at once; isOk() is false from now on, and the connection is closed by the
  /// next call or by the destructor. Safe to call from any thread, at any time while the object
  /// exists; calling it again does nothing more.
  void cancel();

  /// Closes the connection. Harmless when already closed.
  void close();
  /// Gives the descriptor to the caller without closing it, and returns it (-1 when closed).
  /// Bytes kept back by readLine() are dropped: a stream's first bytes may be among them (on a
  /// real bridge they often come with the status line), so a caller who goes on reading the
  /// descriptor itself wants release(std::string&) instead.
  int release();
  /// As release(), and hands the bytes kept back by readLine() to `keptBytes` (replacing its
  /// content): they are the first bytes of the stream, to be used before reading the
  /// descriptor.
  int release(std::string& keptBytes);

  /// Sets the limits for the calls from now on (a call already waiting keeps its own).
  void setTimeLimits(const TimeLimits& limits);
  /// The limits of the calls from now on.
  const TimeLimits& getTimeLimits() const;
  /// Why the last failed call failed; code NONE when no call has failed. A later success does
  /// not clear it.
  const Error& getLastError() const;

  /// True while the connection is open and cancel() has not been called.
  bool isOk() const;
  /// The connection's descriptor, for watching it in an event loop (readable: read() has bytes
  /// or the end to report); -1 when the connection is closed. Owned by the socket: do not read,
  /// write or close it yourself (release() gives it away).
  /// CAVEAT: bytes kept back by readLine() are not in the descriptor; read() returns them first.
  int getDescriptor() const;
  /// The bridge's host as given to the constructor; "" for one made from an address.
  const std::string& getHost() const;
  /// The bridge's TCP port.
  uint16_t getPort() const;
  /// The SAM version the bridge chose in the handshake ("3.0", "3.1"); "" when it failed.
  const std::string& getVersion() const;
  /// The bridge's IPv4 address and port, as connected to (or to be connected to).
  const sockaddr_in& getAddress() const;

 private:
  /// The library's session layer: the steps of construction, reading the bridge's replies under
  /// the reply limit in the name of the request they answer, and the operations that make a
  /// connection without blocking and then hand it on.
  friend struct SocketAccess;
  struct State;
  enum class Internal { NOT_CONNECTED, HANDED_OVER };
  // A socket that is not connected yet, for an operation to connect.
  VELQOR_HIDDEN I2pSocket(const sockaddr_in& addr, const std::string& SAMHost,
                          const TimeLimits& limits, Internal notConnected);
  // Takes over everything of `other`, which is left closed.
  VELQOR_HIDDEN I2pSocket(I2pSocket&& other, Internal handedOver);

  const std::string samMinVer;
  const std::string samMaxVer;
  int socket;
  sockaddr_in servAddr;
  std::string SAMHost;
  uint16_t SAMPort;
  std::string version;
  std::string pending;  ///< bytes received after the last line that readLine() returned
  /// Limits, the last failure and the cancellation flag, kept out of the class's layout.
  std::unique_ptr<State> state;
};

}  // namespace SAM

#endif  // VELQOR_I2P_SOCKET_HPP
