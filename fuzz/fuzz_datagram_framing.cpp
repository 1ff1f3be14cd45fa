// What the library reads from the bridge's UDP port: the sender line of a repliable datagram,
// which must split off exactly a public destination and leave every byte after it to the
// payload; and the header it writes, whose length and the largest payload always fill one
// datagram of the bridge.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_require.hpp"
#include "sam/wire/datagram_format.hpp"
#include "sam/wire/i2p_base64.hpp"

using namespace SAM;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string datagram(reinterpret_cast<const char*>(data), size);
  std::string_view sender, payload;
  const std::size_t end = datagram.find('\n');
  if (wire::splitRepliableDatagram(datagram, sender, payload)) {
    FUZZ_REQUIRE(sender.size() == end && sender.size() >= 516);
    FUZZ_REQUIRE(std::string(sender) + "\n" + std::string(payload) == datagram);
    for (char c : sender) FUZZ_REQUIRE(I2pBase64::isTextCharacter(c));
  } else {
    bool allBase64 = end != std::string::npos && end >= 516;
    for (std::size_t i = 0; allBase64 && i < end; ++i) {
      allBase64 = I2pBase64::isTextCharacter(datagram[i]);
    }
    FUZZ_REQUIRE(!allBase64);
  }

  // The first line, as a destination to send to.
  const std::string destination = datagram.substr(0, end);
  const bool sendable = wire::isSendableDestination(destination);
  FUZZ_REQUIRE(sendable == (!destination.empty() && destination.find_first_of(std::string(
                                                        " \r\n\0", 4)) == std::string::npos));
  const std::string header = wire::datagramHeader("ABCDEFGH", destination);
  const std::size_t largest = wire::maxDatagramPayload("ABCDEFGH", destination);
  FUZZ_REQUIRE(header.size() < wire::maxDatagramSize
                   ? header.size() + largest == wire::maxDatagramSize
                   : largest == 0);
  return 0;
}
