// Destinations as bytes: their format, the public destination inside a private one, and b32
// addresses.
#include <openssl/sha.h>
#include <velqor/destination.hpp>

#include <optional>

#include "sam/wire/destination_format.hpp"
#include "sam/wire/i2p_base64.hpp"

namespace SAM {

namespace wire {

namespace {

unsigned bigEndian16(const std::string& bytes, std::size_t offset) {
  return static_cast<unsigned>(static_cast<unsigned char>(bytes[offset])) << 8 |
         static_cast<unsigned char>(bytes[offset + 1]);
}

}  // namespace

std::size_t signingKeyLength(unsigned signatureType) {
  switch (signatureType) {
    case 0:  // DSA_SHA1
      return 20;
    case 1:   // ECDSA_SHA256_P256
    case 7:   // EdDSA_SHA512_Ed25519
    case 9:   // GOST R3410 256
    case 11:  // RedDSA_SHA512_Ed25519
      return 32;
    case 2:  // ECDSA_SHA384_P384
      return 48;
    case 3:  // ECDSA_SHA512_P521
      return 66;
    case 10:  // GOST R3410 512
      return 64;
    default:
      return 0;
  }
}

std::size_t publicDestinationLength(const std::string& bytes) {
  if (bytes.size() < certificateHeaderEnd) return 0;
  const std::size_t length = certificateHeaderEnd + bigEndian16(bytes, certificateLengthOffset);
  return bytes.size() >= length ? length : 0;
}

std::string privateDestinationProblem(const std::string& bytes) {
  const std::size_t size = bytes.size();
  const bool hasKeyCertificate =
      size > certificateTypeOffset &&
      static_cast<unsigned char>(bytes[certificateTypeOffset]) == keyCertificate;
  // A key certificate starts with the signature type.
  if (size < certificateHeaderEnd + (hasKeyCertificate ? 2 : 0)) {
    return "is " + std::to_string(size) + " bytes, too short for a destination";
  }
  const std::size_t certificateLength = bigEndian16(bytes, certificateLengthOffset);
  if (hasKeyCertificate && certificateLength < 2) {
    return "has a key certificate without a signature type";
  }
  const unsigned type = hasKeyCertificate ? bigEndian16(bytes, certificateHeaderEnd) : 0;
  const std::size_t keyLength = signingKeyLength(type);
  if (keyLength == 0) return "has signature type " + std::to_string(type) + ", not supported";
  const std::size_t whole =
      certificateHeaderEnd + certificateLength + privateEncryptionKeyLength + keyLength;
  if (size != whole) {
    return "holds " + std::to_string(size) + " bytes where a destination with signature type " +
           std::to_string(type) + " has " + std::to_string(whole);
  }
  return "";
}

}  // namespace wire

namespace {

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
  const std::size_t length = bytes ? wire::publicDestinationLength(*bytes) : 0;
  if (length != 0) return I2pBase64::encode(bytes->substr(0, length));
  return priv.substr(0, wire::plainPublicDestinationLength);
}

std::string b32Address(const std::string& pub) {
  const std::optional<std::string> bytes = I2pBase64::decode(pub);
  if (!bytes || bytes->empty()) return "";
  unsigned char hash[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(bytes->data()), bytes->size(), hash);
  return base32(hash, sizeof hash) + ".b32.i2p";
}

}  // namespace SAM
