/// \file
/// What every SAM session has, whatever its style. Part of <velqor/sam.hpp>.
#ifndef VELQOR_SESSION_HPP
#define VELQOR_SESSION_HPP

#include <netinet/in.h>
#include <velqor/export.h>
#include <velqor/destination.hpp>
#include <velqor/error.hpp>
#include <velqor/i2p_socket.hpp>
#include <velqor/message.hpp>
#include <velqor/request_result.hpp>
#include <velqor/settings.hpp>

#include <cstdint>
#include <memory>
#include <string>

namespace SAM {

struct SessionAccess;
struct SessionParts;

/// The part of a SAM session that does not depend on its style: the control connection on
/// which the session was created (the bridge keeps the session exactly as long as that
/// connection stays open), the random identifier, the destination, the option text, the time
/// limits, the sick flag and the reason of the last failure, and the requests that do not
/// name the session (naming lookup, destination generation). StreamSession and
/// DatagramSession build on it; it is not made on its own.
///
/// Sick rules. The sick flag is one way: nothing clears it, and rebuilding is the caller's
/// decision. It is raised by
///  1. a creation that failed for any reason, a time limit that passed included;
///  2. a request that got no reply or could not connect (NO_ANSWER, SOCKET_NOT_OK);
///  3. a stream request (accept, connect, forward) answered I2P_ERROR or INVALID_ID;
///  4. a control connection found dead by checkAlive();
///  5. a rebuild (StreamSession(StreamSession&)) that could not make one of its forwards again.
/// It is not raised by a request whose time limit passed (DEADLINE_EXCEEDED): the limit is
/// the caller's choice and says nothing about the session. Replies about the peer or the
/// arguments (INVALID_KEY, CANT_REACH_PEER, KEY_NOT_FOUND, ...) and arguments refused before
/// sending leave the session healthy.
///
/// Every failure, sick or not, sets getLastError(). Not safe for concurrent use.
class VELQOR_EXPORT Session {
 public:
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  /// Returns 5 to 8 random letters A-Z, drawn from the system's random source. Does not
  /// touch the C library's rand() sequence.
  static std::string generateSessionID();

  /// Resolves `name` (a name of the router's address book, or a .b32.i2p address); on success
  /// the value is its public destination.
  RequestResult<const std::string> namingLookup(const std::string& name) const;
  /// Asks the bridge for a new destination; the session's own destination is not changed.
  RequestResult<const FullDestination> destGenerate() const;

  /// Static forms: one exchange on `socket`. Each returns SOCKET_NOT_OK without sending when
  /// `socket` is not usable, and DEADLINE_EXCEEDED when a limit of `socket` passed.
  /// The value is the reply's VALUE.
  static Message::Answer<const std::string> namingLookup(I2pSocket& socket,
                                                         const std::string& name);
  /// OK when the reply carries non-empty PUB and PRIV (whatever its RESULT), else NO_ANSWER.
  static Message::Answer<const FullDestination> destGenerate(I2pSocket& socket);
  /// As above, asking for `signatureType` (a name such as "EdDSA_SHA512_Ed25519", or a
  /// number). Without a type i2pd makes an old DSA_SHA1 key.
  static Message::Answer<const FullDestination> destGenerate(I2pSocket& socket,
                                                             const std::string& signatureType);
  /// Writes `requestLine` and reads one reply line within the reply limit of `socket`. The
  /// value is the whole reply, `"\n"` included.
  static Message::Answer<const std::string> rawRequest(I2pSocket& socket,
                                                       const std::string& requestLine);
  /// As rawRequest; when the status is OK the value is the reply's `keyOfValue` instead.
  static Message::Answer<const std::string> request(I2pSocket& socket,
                                                    const std::string& requestLine,
                                                    const std::string& keyOfValue);
  /// As rawRequest, returning the status alone.
  static Message::eStatus request(I2pSocket& socket, const std::string& requestLine);

  /// Tells whether the control connection is still open, without blocking and without
  /// sending anything: the bridge closes it when the session ends, and a router that went
  /// away shows as its end or an error. A dead connection is closed, makes the session sick
  /// and sets getLastError() (ErrorCode::CLOSED, or IO for a reset). Bytes the bridge sent stay
  /// unread, and an end that follows them is seen all the same. Returns false at once for a
  /// connection already closed.
  bool checkAlive();

  /// The descriptor of the control connection, for watching it in an event loop: the bridge
  /// sends nothing on it during a session, so its becoming readable means the bridge ended the
  /// session or the router went away, and checkAlive() should be asked. -1 when it is closed.
  /// Owned by the session: never read, write or close it.
  int getControlDescriptor() const;

  /// Closes the control connection, which ends the session at the bridge, and marks the
  /// session sick. Nothing else changes: a StreamSession keeps its list of forwards, which a
  /// rebuild makes again. Harmless when the connection is closed already.
  void closeControlConnection();

  /// Marks the session sick. One way: nothing clears it.
  void fallSick() const;
  /// True once the session is unusable (see the sick rules above); never cleared.
  bool isSick() const;

  /// Why the last failed creation, request or check failed; code NONE when none has failed.
  /// A later success does not clear it.
  const Error& getLastError() const;
  /// The limits of the requests from now on and of the sockets they hand out.
  void setTimeLimits(const TimeLimits& limits);
  /// The limits of the requests from now on.
  const TimeLimits& getTimeLimits() const;

  /// The nickname given at construction (inbound.nickname in SESSION CREATE).
  const std::string& getNickname() const;
  /// The 5 to 8 random letters that name the session at the bridge.
  const std::string& getSessionID() const;
  /// The option text given at construction, as written into SESSION CREATE.
  const std::string& getOptions() const;
  /// The session's own destination: public and private, both empty when the creation failed
  /// for a TRANSIENT destination.
  const FullDestination& getMyDestination() const;
  /// The bridge's IPv4 address and TCP port.
  const sockaddr_in& getSAMAddress() const;
  /// The bridge's host as given at construction (an address or a name).
  const std::string& getSAMHost() const;
  /// The bridge's TCP port as given at construction.
  uint16_t getSAMPort() const;
  /// The SAM version the bridge chose; "" when the handshake failed.
  const std::string& getSAMVersion() const;
  /// The lowest SAM version offered in the handshake ("3.0").
  const std::string& getSAMMinVer() const;
  /// The highest SAM version offered in the handshake ("3.1").
  const std::string& getSAMMaxVer() const;

 protected:
  /// The library's operations and requests, which work with the session's parts.
  friend struct SessionAccess;

  /// Connects and handshakes the control connection; the derived class then creates the
  /// session with createSession().
  VELQOR_HIDDEN Session(const std::string& nickname, const std::string& SAMHost, uint16_t SAMPort,
                        const std::string& i2pOptions, const TimeLimits& limits);
  /// A new control connection to the bridge of `failed`, with its nickname, options,
  /// destination and limits and a fresh identifier; `failed` becomes sick and its control
  /// connection is closed, which ends its session at the bridge.
  VELQOR_HIDDEN explicit Session(Session& failed);
  /// A session that an operation has made at the bridge, from its parts.
  VELQOR_HIDDEN explicit Session(SessionParts& parts);
  VELQOR_HIDDEN ~Session();

  /// Sends SESSION CREATE with `style`, `destination` and `options` on the control
  /// connection. On success returns the destination with `pub` derived from the private
  /// one; on failure marks the session sick, sets the last error and returns a default
  /// FullDestination.
  VELQOR_HIDDEN FullDestination createSession(Message::SessionStyle style,
                                              const std::string& destination,
                                              const std::string& options);
  /// Sets the last error to `code` and `reason`.
  VELQOR_HIDDEN void recordError(ErrorCode code, const std::string& reason) const;

  I2pSocket socket;               ///< the control connection
  const std::string nickname;     ///< as given at construction
  const std::string sessionID;    ///< the random identifier
  FullDestination myDestination;  ///< the destination the bridge gave the session
  /// The private destination a creation asked for and the bridge did not take, so that a rebuild
  /// asks for it again; "" otherwise.
  std::string refusedDestination;
  const std::string i2pOptions;  ///< the option text of SESSION CREATE
  mutable bool sick;             ///< the sick flag, one way
  mutable Error lastError;       ///< why the last failure happened
};

}  // namespace SAM

#endif  // VELQOR_SESSION_HPP
