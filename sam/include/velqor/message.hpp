/// \file
/// The text of the SAM protocol: request lines and reply reading. Part of <velqor/sam.hpp>.
#ifndef VELQOR_MESSAGE_HPP
#define VELQOR_MESSAGE_HPP

#include <velqor/export.h>

#include <cstdint>
#include <string>

namespace SAM {

/// Request lines and replies of the SAM protocol. Never instantiated; all members are static,
/// pure and safe to call from any thread.
class VELQOR_EXPORT Message {
 public:
  Message() = delete;

  /// The style of a session: streams, repliable datagrams, or raw datagrams.
  enum SessionStyle {
    STREAM = 0,    ///< STYLE=STREAM: streams (StreamSession)
    DATAGRAM = 1,  ///< STYLE=DATAGRAM: datagrams that carry their sender (DatagramSession)
    RAW = 2,       ///< STYLE=RAW: datagrams of the payload alone (DatagramSession)
  };

  /// Status of one reply. The numbers are fixed: callers may test ranges of them.
  enum eStatus {
    OK = 0,
    NO_ANSWER = 1,          ///< empty reply: the connection ended, failed, or sent no whole line
    SOCKET_NOT_OK = 2,      ///< nothing was sent because the connection was not usable
    UNEXPECTED_RESULT = 3,  ///< a reply without a RESULT this library knows
    DUPLICATED_DEST = 4,
    DUPLICATED_ID = 5,
    I2P_ERROR = 6,
    INVALID_ID = 7,
    INVALID_KEY = 8,
    CANT_REACH_PEER = 9,
    TIMEOUT = 10,
    NOVERSION = 11,
    KEY_NOT_FOUND = 12,
    PEER_NOT_FOUND = 13,
    ALREADY_ACCEPTING = 14,
    /// Not a reply: a time limit of the caller passed before the reply came, and the
    /// connection was closed. The bridge's own RESULT=TIMEOUT is TIMEOUT.
    DEADLINE_EXCEEDED = 15,
  };

  /// The outcome of one request at protocol level: a status and a value, both fixed at
  /// construction. T is `const std::string` or `const FullDestination`.
  template <class T>
  struct Answer {
    /// A status with a default value.
    explicit Answer(eStatus status) : status(status), value() {}
    /// A status and its value.
    Answer(eStatus status, const T& value) : status(status), value(value) {}

    const eStatus status;  ///< how the request went
    T value;               ///< what the reply carried; default unless the status says otherwise
  };

  /// printf-style formatting of a whole line, of any length. Returns "" and reports through
  /// the library's diagnostic sink when formatting fails.
  static std::string createSAMRequest(const char* format, ...)
      __attribute__((format(printf, 1, 2)));

  /// Request builders. Each returns one complete line ended by `"\n"`, with its arguments
  /// written unchanged (no quoting), or "" when an argument contains `"\r"`, `"\n"` or a zero
  /// byte: such an argument would start a second command on the bridge connection.
  static std::string hello(const std::string& minVer, const std::string& maxVer);
  /// Note the order: the line carries STYLE, ID, DESTINATION, SIGNATURE_TYPE,
  /// inbound.nickname and then `options`, separated from the nickname by one space.
  static std::string sessionCreate(SessionStyle style, const std::string& sessionID,
                                   const std::string& nickname, const std::string& destination,
                                   const std::string& options, const std::string& signatureType);
  /// "STREAM ACCEPT ID=... SILENT=..." for the session `sessionID`.
  static std::string streamAccept(const std::string& sessionID, bool silent);
  /// "STREAM CONNECT ID=... DESTINATION=... SILENT=..." for the session `sessionID`.
  static std::string streamConnect(const std::string& sessionID, const std::string& destination,
                                   bool silent);
  /// Note the order: the line carries PORT= before HOST=.
  static std::string streamForward(const std::string& sessionID, const std::string& host,
                                   uint16_t port, bool silent);
  /// "NAMING LOOKUP NAME=...".
  static std::string namingLookup(const std::string& name);
  /// "DEST GENERATE": on i2pd an old DSA_SHA1 destination; see the form below.
  static std::string destGenerate();
  /// "DEST GENERATE SIGNATURE_TYPE=<signatureType>": a destination of that type (a name such
  /// as "EdDSA_SHA512_Ed25519", or its number).
  static std::string destGenerate(const std::string& signatureType);

  /// Returns the status of `answer`, read from the value of its RESULT key.
  /// "" gives NO_ANSWER; a RESULT that is absent, empty or unknown gives UNEXPECTED_RESULT.
  /// The comparison is exact: `"ok"` or `"OK\r"` is UNEXPECTED_RESULT.
  static eStatus checkAnswer(const std::string& answer);

  /// Returns the value of `key` in `answer`, or "" when the key is absent or `key` is empty.
  ///  1. Keys are whole words: a key starts the reply or follows a space, so "ID" never
  ///     matches the tail of "SESSIONID" or text inside a value.
  ///  2. A value starting with a double quote runs to the closing quote and is returned
  ///     without the quotes (`\"` and `\\` inside stand for `"` and `\`); spaces inside are kept.
  ///  3. Any other value ends at the first space or `"\n"`. A `"\r"` before `"\n"` stays part of
  ///  it.
  ///  4. Only the first line of `answer` is examined; the first occurrence of the key wins.
  static std::string getValue(const std::string& answer, const std::string& key);
};

}  // namespace SAM

#endif  // VELQOR_MESSAGE_HPP
