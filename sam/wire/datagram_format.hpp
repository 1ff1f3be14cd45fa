// The framing of datagrams between a client and the bridge's UDP port. Internal: not part of
// the public interface.
//
//   to the bridge:    "3.0 <session ID> <destination>\n" then the payload
//   from the bridge:  DATAGRAM style "<sender's public destination>\n" then the payload;
//                     RAW style the payload alone
#ifndef VELQOR_SAM_WIRE_DATAGRAM_FORMAT_HPP
#define VELQOR_SAM_WIRE_DATAGRAM_FORMAT_HPP

#include <cstddef>
#include <string>
#include <string_view>

namespace SAM {
namespace wire {

// The largest UDP datagram the bridge takes from a client, header included: the size of its
// receive buffer.
constexpr std::size_t maxDatagramSize = 32768;

// The header that goes before a payload to `destination`.
std::string datagramHeader(const std::string& sessionID, const std::string& destination);

// The largest payload for `destination`: maxDatagramSize less the header, or 0 when the
// header alone is too long.
std::size_t maxDatagramPayload(const std::string& sessionID, const std::string& destination);

// Whether `destination` can be named in a header: not empty, and no space, "\r", "\n" or zero
// byte, which would end the header early.
bool isSendableDestination(const std::string& destination);

// Splits a repliable datagram from the bridge into its sender and its payload: the sender is
// everything before the first "\n" and must be a public destination (at least 516 characters of
// I2P base64); the payload is everything after it, "\n" and zero bytes included. False, with
// nothing set, when the datagram has no such sender line.
bool splitRepliableDatagram(std::string_view datagram, std::string_view& sender,
                            std::string_view& payload);

}  // namespace wire
}  // namespace SAM

#endif  // VELQOR_SAM_WIRE_DATAGRAM_FORMAT_HPP
