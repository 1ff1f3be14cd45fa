// The binary format of I2P destinations, spelled once. Internal: not part of the public
// interface.
#ifndef VELQOR_SAM_WIRE_DESTINATION_FORMAT_HPP
#define VELQOR_SAM_WIRE_DESTINATION_FORMAT_HPP

#include <cstddef>
#include <string>

namespace SAM {
namespace wire {

// A public destination: 384 bytes of keys (a 256-byte encryption key, a 128-byte signing key,
// either padded), then the certificate: a type byte, a big-endian 16-bit length, that many bytes.
constexpr std::size_t certificateTypeOffset = 384;
constexpr std::size_t certificateLengthOffset = 385;
constexpr std::size_t certificateHeaderEnd = 387;
// The certificate type whose first two bytes name the signature type.
constexpr unsigned char keyCertificate = 5;
// A private destination: the public one, a 256-byte private encryption key, then the private
// signing key, whose length follows from the signature type.
constexpr std::size_t privateEncryptionKeyLength = 256;
// The shortest public destination, with a null certificate, as I2P base64 text.
constexpr std::size_t plainPublicDestinationLength = 516;
// The signature type of every destination this library makes or asks for.
constexpr char sessionSignatureType[] = "EdDSA_SHA512_Ed25519";

// The private signing key's length for a signature type, or 0 for a type not supported:
// DSA_SHA1 (0) 20, ECDSA_SHA256_P256 (1) 32, ECDSA_SHA384_P384 (2) 48, ECDSA_SHA512_P521 (3) 66,
// EdDSA_SHA512_Ed25519 (7) 32, GOST R3410 256 (9) 32, GOST R3410 512 (10) 64,
// RedDSA_SHA512_Ed25519 (11) 32.
std::size_t signingKeyLength(unsigned signatureType);

// The most bytes a whole private destination can have: the longest certificate and the longest
// signing key.
constexpr std::size_t longestPrivateDestination =
    certificateHeaderEnd + 0xFFFF + privateEncryptionKeyLength + 66;

// The length of the public destination at the start of `bytes` (387 + its certificate's length),
// or 0 when `bytes` are too short for the certificate they announce.
std::size_t publicDestinationLength(const std::string& bytes);

// What keeps `bytes` from being one whole private destination, as the end of a sentence about
// them ("is 100 bytes, too short for a destination"), or "" when they are one. Tells sizes and
// types only, never key bytes.
std::string privateDestinationProblem(const std::string& bytes);

}  // namespace wire
}  // namespace SAM

#endif  // VELQOR_SAM_WIRE_DESTINATION_FORMAT_HPP
