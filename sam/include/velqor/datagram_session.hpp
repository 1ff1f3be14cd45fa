/// \file
/// SAM DATAGRAM and RAW sessions. Part of <velqor/sam.hpp>.
#ifndef VELQOR_DATAGRAM_SESSION_HPP
#define VELQOR_DATAGRAM_SESSION_HPP

#include <netinet/in.h>
#include <velqor/export.h>
#include <velqor/message.hpp>
#include <velqor/request_result.hpp>
#include <velqor/session.hpp>
#include <velqor/settings.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace SAM {

/// One datagram as receive() hands it over.
struct Datagram {
  std::string sender;   ///< the sender's public destination (I2P base64); "" in a RAW session
  std::string payload;  ///< every byte, zero bytes included
};

/// One SAM DATAGRAM (repliable) or RAW session. Datagrams go both ways over UDP, never over the
/// control connection: the session binds a UDP socket of its own on the local address of its
/// control connection (so that a bridge on another host can reach it) with a port chosen by the
/// system, and names that address and port as HOST= and PORT= in SESSION CREATE. It sends to
/// the bridge's UDP port, which is the SAM port minus 1 unless setBridgeUdpPort() says
/// otherwise, and takes datagrams only from there.
///
/// Construction connects, handshakes, draws a random identifier, binds the UDP socket and sends
/// SESSION CREATE, as StreamSession does; it never throws on a network or protocol failure but
/// leaves the session sick, and getLastError() tells why. The sick rules are those of Session,
/// and send() and receive() add one: a control connection that the bridge closed (the session
/// is over at the bridge) makes the session sick. A time limit that passes, a refused argument,
/// a datagram that cannot be delivered and a malformed datagram leave it healthy. A datagram
/// sent to a destination that nobody serves is lost without a sign: datagrams carry no
/// acknowledgement.
///
/// CAVEAT: i2pd 2.45.1 (seen on a private router without peers, such as velqor-sandbox):
///  1. A datagram session needs `i2cp.leaseSetType=1` among its options: without it every
///     datagram is lost, sent or received, and the router logs "Incorrect number of leases".
///  2. RAW datagrams of 0, 1 or 2 bytes are lost whoever sends them ("decompression failed" in
///     its log); 3 bytes and more arrive. DATAGRAM payloads of every size up to the largest
///     arrive.
///
/// The wire, one UDP datagram each way:
/// - to the bridge: `"3.0 <session ID> <destination>\n"` then the payload
/// - from the bridge: DATAGRAM `"<sender's public destination>\n"` then the payload; RAW the
///   payload
class VELQOR_EXPORT DatagramSession : public Session {
 public:
  /// The largest UDP datagram the bridge takes from a client, header included: the size of its
  /// receive buffer. The largest payload is therefore
  ///   32768 - 6 - (length of the session ID) - (length of the destination)
  /// which, for the 524-character destinations of EdDSA keys and identifiers of 5 to 8 letters,
  /// is 32238 - (length of the session ID): 32230 to 32233 bytes, 32230 whatever the
  /// identifier. maxPayloadSize() tells the number for a given destination. i2pd 2.45.1
  /// delivers a payload of exactly that size whole in both styles (the interop tests check it;
  /// RAW payloads of 0 to 2 bytes are lost, see above); a longer datagram it cuts to 32768
  /// bytes and delivers cut, which is why send() refuses longer payloads instead of sending
  /// them.
  static constexpr std::size_t maxDatagramSize = 32768;
  /// The largest datagram receive() takes from the bridge: a payload of maxDatagramSize and a
  /// sender line, with room to spare. A larger one is reported, never handed over cut short.
  static constexpr std::size_t receiveBufferSize = maxDatagramSize + 1024;

  /// Creates a session of `style` (Message::DATAGRAM or Message::RAW) at the bridge on
  /// `SAMHost`:`SAMPort` (a numeric IPv4 address or a host name, see I2pSocket).
  /// `myDestination` is "TRANSIENT" for a new destination or a private destination to take.
  /// `i2pOptions` is written at the end of the SESSION CREATE line, after HOST= and PORT=; it
  /// must not name HOST or PORT itself. `limits` bounds the creation (connect, HELLO, SESSION
  /// CREATE), each send (the write limit) and each receive (the read limit). The signature type
  /// is always EdDSA_SHA512_Ed25519.
  /// Message::STREAM is refused: the session is sick with ErrorCode::ARGUMENT and no SESSION
  /// CREATE is sent.
  DatagramSession(const std::string& nickname, const std::string& SAMHost, uint16_t SAMPort,
                  Message::SessionStyle style, const std::string& myDestination = "TRANSIENT",
                  const std::string& i2pOptions = "", const TimeLimits& limits = TimeLimits());
  DatagramSession(const DatagramSession&) = delete;
  DatagramSession& operator=(const DatagramSession&) = delete;
  /// Closes the control connection (which ends the session at the bridge) and the UDP socket.
  ~DatagramSession();

  /// Sends `payload` (any bytes, zero bytes included; may be empty) to `destination`, a full
  /// public destination in I2P base64 (the bridge takes neither names nor b32 addresses), as
  /// one UDP datagram to the bridge. Success means the bridge's UDP port took it, not that it
  /// arrived.
  /// Refused without sending anything, with ErrorCode::ARGUMENT and the session left healthy:
  /// an empty destination or one holding a space, `"\r"`, `"\n"` or a zero byte; a payload larger
  /// than maxPayloadSize(destination).
  /// Fails at once, sending nothing, on a sick session (getLastError() keeps the reason it fell
  /// sick) and on one whose control connection is closed (CLOSED; the session falls sick).
  /// With a write limit, a datagram the system cannot take within it fails with TIMED_OUT.
  RequestResult<void> send(const std::string& destination, const std::string& payload);

  /// Waits for the next datagram from the bridge's UDP port and returns it: in a DATAGRAM
  /// session the sender's public destination and the payload, in a RAW session the payload.
  /// Datagrams from any other address or port are dropped and the wait goes on.
  /// Fails, with the datagram dropped and the session left healthy, on a datagram larger than
  /// receiveBufferSize and on a DATAGRAM-style datagram without a sender line (a first line of
  /// at least 516 characters of I2P base64): ErrorCode::PROTOCOL. The next call takes the next
  /// datagram.
  /// The wait lasts at most the read limit of the session's TimeLimits (none when 0) and then
  /// fails with TIMED_OUT (status DEADLINE_EXCEEDED). It also ends when the bridge closes the
  /// control connection: CLOSED, and the session falls sick. On a sick session it fails at once.
  RequestResult<Datagram> receive();

  /// The largest payload send() takes for `destination`: maxDatagramSize less the header, or 0
  /// when the header alone is too long.
  std::size_t maxPayloadSize(const std::string& destination) const;

  /// The bridge's UDP port, for bridges where it is not the SAM port minus 1.
  void setBridgeUdpPort(uint16_t port);
  /// The bridge's UDP port that datagrams go to and are taken from.
  uint16_t getBridgeUdpPort() const;
  /// The session's own UDP socket, non-blocking, for a caller's event loop (poll it for POLLIN,
  /// then call receive()); -1 when there is none. Owned by the session: do not close it.
  int getUdpDescriptor() const;
  /// The session's own UDP port, as named in SESSION CREATE; 0 when there is no socket.
  uint16_t getUdpPort() const;
  /// Message::DATAGRAM or Message::RAW, as given at construction.
  Message::SessionStyle getStyle() const;

  /// Closes the control connection, ending the session at the bridge, and the UDP socket. Later
  /// sends and receives fail with CLOSED.
  void close();

 private:
  friend struct SessionAccess;
  /// A session that an operation has made at the bridge, from its parts.
  VELQOR_HIDDEN explicit DatagramSession(SessionParts& parts);

  /// Binds the UDP socket on the local address of the control connection and sets `host` to
  /// that address; false on failure, with the reason recorded.
  VELQOR_HIDDEN bool openUdpSocket(std::string& host);
  /// False, with the reason recorded, when the session cannot send or receive; looks at the
  /// control connection when `lookAtConnection` or when it is closed here.
  VELQOR_HIDDEN bool usable(bool lookAtConnection);

  const Message::SessionStyle style;
  int udpSocket;
  uint16_t udpPort;
  sockaddr_in bridgeUdpAddress;
  std::vector<char> receiveBuffer;  ///< receiveBufferSize bytes once receive() has run
};

}  // namespace SAM

#endif  // VELQOR_DATAGRAM_SESSION_HPP
