/// \file
/// Why an operation failed. Part of <velqor/sam.hpp>.
#ifndef VELQOR_ERROR_HPP
#define VELQOR_ERROR_HPP

#include <velqor/export.h>
#include <velqor/message.hpp>

#include <string>

namespace SAM {

/// The kind of a failure. New kinds are only ever added at the end.
enum class ErrorCode {
  NONE = 0,   ///< no failure
  RESOLVE,    ///< the bridge's host name did not resolve to an IPv4 address
  CONNECT,    ///< the TCP connection to the bridge could not be made
  TIMED_OUT,  ///< a time limit that the caller set passed (never the bridge's RESULT=TIMEOUT)
  CANCELLED,  ///< I2pSocket::cancel() was called
  CLOSED,     ///< the peer closed the connection
  IO,         ///< a send, a receive or another system call failed
  PROTOCOL,  ///< the bridge's answer was not a usable reply (no whole line, too long, keys missing)
  REFUSED,   ///< the bridge answered with a RESULT other than OK
  ARGUMENT,  ///< an argument was refused before anything was sent
  KEY_FILE,  ///< a key file could not be read or written, or holds no whole destination
};

/// The reason for the last failure of a socket or a session, or the result of a call that has
/// no object to keep it (reading a key file).
///  1. `code` is NONE exactly when there was no failure; `reason` is then "".
///  2. `reason` is one short line for people, for example
///     "connect to 127.0.0.1:7656: Connection refused". It never holds private key material.
///  3. `status` is the protocol status the failure gave a request (TIMED_OUT gives
///     Message::DEADLINE_EXCEEDED, REFUSED the bridge's RESULT); OK outside requests.
///  4. `systemError` is the errno value behind CONNECT, IO and KEY_FILE failures, else 0.
struct Error {
  ErrorCode code = ErrorCode::NONE;       ///< the kind of failure (1.)
  Message::eStatus status = Message::OK;  ///< the status a request got (3.)
  int systemError = 0;                    ///< errno behind the failure, or 0 (4.)
  std::string reason;                     ///< one line for people (2.)

  /// True when there was no failure (`code` is NONE).
  bool ok() const { return code == ErrorCode::NONE; }
};

}  // namespace SAM

#endif  // VELQOR_ERROR_HPP
