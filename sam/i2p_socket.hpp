// One TCP connection to a SAM bridge. Part of <velqor/sam.hpp>.
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

class Deadline;  // internal: the end of a time limit, for the waits of the private members

// One blocking TCP connection (IPv4) to a SAM bridge, owning its descriptor exclusively.
//
// Construction connects and sends "HELLO VERSION MIN=3.0 MAX=3.1"; it never throws. After
// construction isOk() tells whether the connection is open, and getVersion() is the version
// the bridge chose ("" when the bridge refused or did not answer).
//
// Once a STREAM CONNECT or STREAM ACCEPT has succeeded on it, the object carries that
// stream's bytes. A failed send or receive closes the connection, and getLastError() tells
// why. Without time limits (the default) every call blocks until it is done; with them
// (TimeLimits) each phase ends when its limit passes.
//
// Thread safety: one thread at a time uses the object, except cancel(), which any thread may
// call at any time while the object exists.
class VELQOR_EXPORT I2pSocket {
 public:
  // The longest reply line that readLine() accepts, "\n" included.
  static constexpr std::size_t maxReplyLength = 64 * 1024;

  // Connects to `SAMHost` and `SAMPort`. `SAMHost` is a numeric IPv4 address or a host name,
  // which is resolved here, once, to its first IPv4 address (getaddrinfo; IPv6 is not
  // supported). A name that does not resolve leaves the socket closed with ErrorCode::RESOLVE.
  // CAVEAT: resolving a name is not bounded by the connect limit; the system resolver's own
  // limits apply.
  I2pSocket(const std::string& SAMHost, uint16_t SAMPort);
  I2pSocket(const std::string& SAMHost, uint16_t SAMPort, const TimeLimits& limits);
  // Connects to `addr`. getHost() is then empty and getPort() is the port of `addr`.
  explicit I2pSocket(const sockaddr_in& addr);
  I2pSocket(const sockaddr_in& addr, const TimeLimits& limits);
  // Opens a new connection, with its own handshake, to the address of `other`, with the time
  // limits of `other`; getHost() is that of `other`. Nothing of `other` is shared or changed.
  I2pSocket(const I2pSocket& other);
  // Not assignable: a socket is one connection. Make a new object instead.
  I2pSocket& operator=(const I2pSocket&) = delete;
  // Closes the connection if it is still open.
  ~I2pSocket();

  // Sends every byte of `msg`, zero bytes included, retrying partial and interrupted sends.
  // REQUIRES: isOk(); otherwise nothing is sent.
  // A failed send (a reset peer included) closes the connection; SIGPIPE is never raised.
  // With a write limit, a send not finished within it fails the same way (TIMED_OUT).
  // CAVEAT: writing an empty text closes the connection.
  void write(const std::string& msg);

  // Returns the bytes of one receive (at most 4096), zero bytes included; bytes kept back
  // from an earlier readLine() come first. Returns "" only when the connection is not open,
  // the peer closed it, the receive failed, or no byte came within the read limit; in the
  // last three cases it is now closed.
  std::string read();

  // Returns the next line, "\n" included, receiving as often as it takes; the bytes after
  // the "\n" are kept for the next read() or readLine(). Returns "" (and closes the
  // connection) when the connection ends or fails before a whole line, when no "\n" comes
  // within maxReplyLength bytes, or when the whole line does not come within the read limit.
  std::string readLine();

  // Makes a call blocked on this socket in another thread (the connect of a constructor,
  // write, read or readLine) return promptly as a failure (ErrorCode::CANCELLED), and every
  // later call fail at once; isOk() is false from now on, and the connection is closed by the
  // next call or by the destructor. The one member that is safe to call from any thread, at
  // any time while the object exists; calling it again does nothing more.
  void cancel();

  // Closes the connection. Harmless when already closed.
  void close();
  // Gives the descriptor to the caller without closing it, and returns it (-1 when closed).
  // Bytes kept back by readLine() are dropped: a stream's first bytes may be among them (on a
  // real bridge they often come with the status line), so a caller who goes on reading the
  // descriptor itself wants release(std::string&) instead.
  int release();
  // As release(), and hands the bytes kept back by readLine() to `keptBytes` (replacing its
  // content): they are the first bytes of the stream, to be used before reading the
  // descriptor.
  int release(std::string& keptBytes);

  // Sets the limits for the calls from now on (a call already waiting keeps its own).
  void setTimeLimits(const TimeLimits& limits);
  const TimeLimits& getTimeLimits() const;
  // Why the last failed call failed; code NONE when no call has failed. A later success does
  // not clear it.
  const Error& getLastError() const;

  // True while the connection is open and cancel() has not been called.
  bool isOk() const;
  const std::string& getHost() const;
  uint16_t getPort() const;
  const std::string& getVersion() const;
  const sockaddr_in& getAddress() const;

 private:
  friend class Session;  // reads samMinVer and samMaxVer, and reads replies with takeLine()
  struct State;

  void bootstrapI2P();
  void init();
  void handshake();
  // Receives once, appending to `bytes`; false after a failure, which closed the connection.
  bool receive(std::string& bytes, const char* phase, const Deadline& deadline);
  // readLine() with its own phase name and limit (the reply limit for the bridge's replies).
  std::string takeLine(const std::string& phase, std::chrono::milliseconds limit);
  // A call found the socket closed: "" or, after cancel(), closes it and records that.
  bool usable(const char* phase);
  // Closes the connection and records why.
  void fail(ErrorCode code, int systemError, const std::string& reason);
  std::string peerName() const;

  const std::string samMinVer;
  const std::string samMaxVer;
  int socket;
  sockaddr_in servAddr;
  std::string SAMHost;
  uint16_t SAMPort;
  std::string version;
  std::string pending;  // bytes received after the last line that readLine() returned
  // Limits, the last failure and the cancellation flag, kept out of the class's layout.
  std::unique_ptr<State> state;
};

}  // namespace SAM

#endif  // VELQOR_I2P_SOCKET_HPP
