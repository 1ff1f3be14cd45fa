#include <velqor/destination.hpp>

#include <openssl/sha.h>

#include "sam/wire/i2p_base64.hpp"

namespace SAM {

namespace {

// A destination starts with a 256-byte public key and a 128-byte signing key, followed by its
// certificate: one type byte and a big-endian 16-bit length, then that many bytes.
constexpr std::size_t certificateLengthOffset = 385;
constexpr std::size_t certificateHeaderEnd = 387;
// The length of a public destination without a key certificate, as base64 text.
constexpr std::size_t plainPublicLength = 516;

// RFC 4648 base32 in lower case, without padding: five bits per character, most significant
// bits first, the last character filled with zero bits.
std::string base32(const unsigned char* bytes, std::size_t length) {
  static const char alphabet[] = "abcdefghijklmnopqrstuvwxyz234567";
  std::string out;
  unsigned int bits = 0;
  int bitCount = 0;
  for (std::size_t i = 0; i < length; ++i) {
    bits = (bits << 8 | bytes[i]) & 0xFFF;  // at most 4 + 8 bits are pending
    bitCount += 8;
    for (; bitCount >= 5; bitCount -= 5) out += alphabet[bits >> (bitCount - 5) & 31];
  }
  if (bitCount > 0) out += alphabet[bits << (5 - bitCount) & 31];
  return out;
}

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

std::string b32Address(const std::string& pub) {
  const std::optional<std::string> bytes = I2pBase64::decode(pub);
  if (!bytes || bytes->empty()) return "";
  unsigned char hash[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(bytes->data()), bytes->size(), hash);
  return base32(hash, sizeof hash) + ".b32.i2p";
}

}  // namespace SAM
