// What the library reads from a key file: bytes that it takes as a whole private destination
// only when their size is exactly what their certificate and signature type say, whose public
// part it then finds inside them, and about which it never says more than sizes and types.
#include <velqor/destination.hpp>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_require.hpp"
#include "sam/wire/destination_format.hpp"
#include "sam/wire/i2p_base64.hpp"

using namespace SAM;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::string text = I2pBase64::encode(bytes);
  FUZZ_REQUIRE(I2pBase64::decode(text) == bytes);

  const std::size_t publicLength = wire::publicDestinationLength(bytes);
  FUZZ_REQUIRE(publicLength == 0 ||
               (publicLength >= wire::certificateHeaderEnd && publicLength <= bytes.size()));
  if (publicLength != 0) {
    FUZZ_REQUIRE(derivePublicDestination(text) == I2pBase64::encode(bytes.substr(0, publicLength)));
  }

  const std::string problem = wire::privateDestinationProblem(bytes);
  FUZZ_REQUIRE(problem.size() < 120);
  for (char c : problem) FUZZ_REQUIRE(c >= ' ' && c < 0x7f);
  if (problem.empty()) {
    const bool keyCertificate =
        static_cast<unsigned char>(bytes[wire::certificateTypeOffset]) == wire::keyCertificate;
    const unsigned type = keyCertificate
                              ? static_cast<unsigned>(static_cast<unsigned char>(bytes[387])) << 8 |
                                    static_cast<unsigned char>(bytes[388])
                              : 0;
    FUZZ_REQUIRE(wire::signingKeyLength(type) != 0);
    FUZZ_REQUIRE(bytes.size() ==
                 publicLength + wire::privateEncryptionKeyLength + wire::signingKeyLength(type));
  }
  return 0;
}
