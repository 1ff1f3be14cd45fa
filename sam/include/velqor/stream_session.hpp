/// \file
/// SAM STREAM sessions. Part of <velqor/sam.hpp>.
#ifndef VELQOR_STREAM_SESSION_HPP
#define VELQOR_STREAM_SESSION_HPP

#include <netinet/in.h>
#include <velqor/export.h>
#include <velqor/destination.hpp>
#include <velqor/i2p_socket.hpp>
#include <velqor/message.hpp>
#include <velqor/request_result.hpp>
#include <velqor/session.hpp>
#include <velqor/settings.hpp>

#include <cstdint>
#include <list>
#include <memory>
#include <string>

namespace SAM {

/// One SAM STREAM session, held open at the bridge for as long as its control connection is.
///
/// Construction connects, handshakes, draws a random identifier and sends SESSION CREATE; it
/// never throws on a network or protocol failure but marks the session sick, which isSick()
/// shows, and getLastError() tells why. Each request opens a connection of its own to the
/// same bridge, with the session's time limits. The sick rules are those of Session.
///
/// Every request exists twice: a static form that runs one exchange on a given socket and
/// returns the protocol status, and a member form that opens the connection, applies the sick
/// rules and returns a RequestResult. A member request whose string argument contains `"\r"`,
/// `"\n"` or a zero byte fails without connecting and without making the session sick.
///
/// CAVEAT: on i2pd 2.45.1 a session that others connect to (accept(), forward()) needs
/// `i2cp.leaseSetType=1` among its options: without it the peer's connect is answered but no
/// byte ever arrives. On a router without peers every session also needs
/// `inbound.length=0 outbound.length=0` (velqor-sandbox prints both as SESSION_OPTIONS).
class VELQOR_EXPORT StreamSession : public Session {
 public:
  /// One forward: its connection (owned by the session; null for a forward that a failed
  /// rebuild keeps only to make it again) and what it forwards to.
  struct ForwardedStream {
    /// A forward over `socket` to `host`:`port`.
    ForwardedStream(std::unique_ptr<I2pSocket> socket, const std::string& host, uint16_t port,
                    bool silent);
    /// Moves the connection along with the rest.
    ForwardedStream(ForwardedStream&&) = default;

    std::unique_ptr<I2pSocket> socket;  ///< the forward's connection; null when not made
    std::string host;                   ///< where incoming streams go
    uint16_t port;                      ///< and on which port
    bool silent;                        ///< whether the peer's destination line is left out
  };

  /// Creates a session at the bridge on `SAMHost`:`SAMPort` (a numeric IPv4 address or a host
  /// name, see I2pSocket). `myDestination` is "TRANSIENT" for a new destination or a private
  /// destination to take. When the creation fails, getMyDestination() is the private
  /// destination asked for (its public part derived), or empty for "TRANSIENT". `i2pOptions` is
  /// written at the end of the SESSION CREATE line. The session always uses signature type
  /// "EdDSA_SHA512_Ed25519"; `signatureType` is not read. Nothing is bounded in time.
  StreamSession(const std::string& nickname, const std::string& SAMHost = "127.0.0.1",
                uint16_t SAMPort = 7656, const std::string& myDestination = "TRANSIENT",
                const std::string& i2pOptions = "",
                const std::string& signatureType = "EdDSA_SHA512_Ed25519");
  /// As above, with `limits` for the creation (connect, HELLO, SESSION CREATE), for every
  /// request, and for the sockets that accept() and connect() hand out. A creation that runs
  /// out of time leaves the session sick with ErrorCode::TIMED_OUT.
  StreamSession(const std::string& nickname, const std::string& SAMHost, uint16_t SAMPort,
                const std::string& myDestination, const std::string& i2pOptions,
                const TimeLimits& limits);
  /// Rebuilds `failed`: a new session under a fresh identifier with the same destination,
  /// nickname, options and time limits, whose forwards are made again in order. `failed`
  /// becomes sick and its control connection is closed; its own forwards stay open until it
  /// is destroyed. The creation is bounded by the time limits alone.
  ///  1. A `failed` whose TRANSIENT creation failed has no destination: a new one is made.
  ///  2. A forward that cannot be made again (all of them, when the creation fails) makes the
  ///     session sick and is kept without a connection, so that rebuilding this session in
  ///     turn makes it again: a chain of failed rebuilds loses no forward.
  explicit StreamSession(StreamSession& failed);
  StreamSession& operator=(const StreamSession&) = delete;
  /// Stops every forward and closes the control connection, which ends the session at the
  /// bridge. Streams handed out by accept() and connect() stay open.
  ~StreamSession();

  /// Waits for an incoming stream. On success the result owns its connection; with `silent`
  /// false the bridge first sends the peer's destination as one line (see readLine()).
  /// CAVEAT: with `silent` true the bridge sends no status line, so the request succeeds as
  /// soon as it is sent; a stream that does not come about shows as an empty read().
  /// CAVEAT: the reply limit bounds the wait for the status line, which a bridge sends at
  /// once; the wait for a peer is the first read() of the stream, under the read limit.
  RequestResult<std::unique_ptr<I2pSocket>> accept(bool silent);
  /// Opens a stream to `destination` (a public destination or a name the bridge resolves).
  /// CAVEAT: as for accept(), with `silent` true no status line is read.
  RequestResult<std::unique_ptr<I2pSocket>> connect(const std::string& destination, bool silent);
  /// Asks the bridge to pass every incoming stream to `host`:`port`. The forward lasts until
  /// stopForwarding(), stopForwardingAll() or destruction. A second forward to the same host
  /// and port adds a second entry.
  RequestResult<void> forward(const std::string& host, uint16_t port, bool silent);

  /// Ends (closes and removes) every forward to `host`:`port`. Nothing is sent to the bridge.
  void stopForwarding(const std::string& host, uint16_t port);
  /// Ends every forward and closes the control connection, ending the session at the bridge.
  void stopForwardingAll();

  /// Sends SESSION CREATE on the control connection. On success returns the destination with
  /// `pub` derived from the private one; on failure marks the session sick and returns a
  /// default FullDestination.
  FullDestination createStreamSession(const std::string& destination);

  /// Static forms: one exchange on `socket` (see Session). accept and connect with `silent`
  /// true read no reply: they return OK when the request was sent and NO_ANSWER (or
  /// DEADLINE_EXCEEDED) when sending failed.
  ///@{
  static Message::Answer<const std::string> createStreamSession(
      I2pSocket& socket, const std::string& sessionID, const std::string& nickname,
      const std::string& destination, const std::string& options, const std::string& signatureType);
  static Message::eStatus accept(I2pSocket& socket, const std::string& sessionID, bool silent);
  static Message::eStatus connect(I2pSocket& socket, const std::string& sessionID,
                                  const std::string& destination, bool silent);
  static Message::eStatus forward(I2pSocket& socket, const std::string& sessionID,
                                  const std::string& host, uint16_t port, bool silent);
  ///@}

 private:
  friend struct SessionAccess;
  /// A session that an operation has made at the bridge, from its parts.
  VELQOR_HIDDEN explicit StreamSession(SessionParts& parts);

  std::list<ForwardedStream> forwardedStreams;
};

}  // namespace SAM

#endif  // VELQOR_STREAM_SESSION_HPP
