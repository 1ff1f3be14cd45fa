#include <velqor/destination.hpp>

#include "sam/i2p_base64.hpp"

namespace SAM {

namespace {

// A destination starts with a 256-byte public key and a 128-byte signing key, followed by its
// certificate: one type byte and a big-endian 16-bit length, then that many bytes.
constexpr std::size_t certificateLengthOffset = 385;
constexpr std::size_t certificateHeaderEnd = 387;
// The length of a public destination without a key certificate, as base64 text.
constexpr std::size_t plainPublicLength = 516;

}  // namespace

FullDestination::FullDestination(const std::string& pub, const std::string& priv, bool isGenerated)
    : pub(pub), priv(priv), isGenerated(isGenerated) {}

std::string derivePublicDestination(const std::string& priv) {
  const std::optional<std::string> bytes = I2pBase64::decode(priv);
  if (bytes && bytes->size() >= certificateHeaderEnd) {
    const std::size_t certificateLength =
        static_cast<std::size_t>(static_cast<unsigned char>((*bytes)[certificateLengthOffset]))
            << 8 |
        static_cast<unsigned char>((*bytes)[certificateLengthOffset + 1]);
    const std::size_t publicLength = certificateHeaderEnd + certificateLength;
    if (bytes->size() >= publicLength) return I2pBase64::encode(bytes->substr(0, publicLength));
  }
  return priv.substr(0, plainPublicLength);
}

}  // namespace SAM
