#include "sam/wire/datagram_format.hpp"

#include "sam/wire/destination_format.hpp"
#include "sam/wire/i2p_base64.hpp"

namespace SAM {
namespace wire {

std::string datagramHeader(const std::string& sessionID, const std::string& destination) {
  // The bridge ignores the first word; it names the protocol version as other clients do.
  return "3.0 " + sessionID + " " + destination + "\n";
}

std::size_t maxDatagramPayload(const std::string& sessionID, const std::string& destination) {
  const std::size_t header = datagramHeader(sessionID, destination).size();
  return header >= maxDatagramSize ? 0 : maxDatagramSize - header;
}

bool isSendableDestination(const std::string& destination) {
  return !destination.empty() &&
         destination.find_first_of(std::string_view(" \r\n\0", 4)) == std::string::npos;
}

bool splitRepliableDatagram(std::string_view datagram, std::string_view& sender,
                            std::string_view& payload) {
  const std::size_t end = datagram.find('\n');
  if (end == std::string_view::npos || end < plainPublicDestinationLength) return false;
  for (std::size_t i = 0; i < end; ++i) {
    if (!I2pBase64::isTextCharacter(datagram[i])) return false;
  }
  sender = datagram.substr(0, end);
  payload = datagram.substr(end + 1);
  return true;
}

}  // namespace wire
}  // namespace SAM
