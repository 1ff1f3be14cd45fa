// The public destination derived from a private one, and the I2P base64 beneath it. The input
// serves both as text to decode and as raw bytes to encode, so that the derivation sees
// well-formed destinations with every certificate length as well as malformed text.
#include <cstddef>
#include <cstdint>
#include <string>

#include <velqor/sam.hpp>

#include "fuzz_require.hpp"
#include "sam/i2p_base64.hpp"

namespace {

using SAM::I2pBase64;

const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-~";
constexpr std::size_t certificateHeaderEnd = 387;  // keys (384 bytes), type, 16-bit length
constexpr std::size_t plainPublicLength = 516;

// Whether `text` is valid I2P base64, told apart without decoding: four characters to a group,
// all from the alphabet but one or two "=" at the very end.
bool isValidBase64(const std::string& text) {
  if (text.size() % 4 != 0) return false;
  std::size_t padding = 0;
  while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
  return text.find_first_not_of(alphabet) >= text.size() - padding;
}

// Whether the bits that padding leaves over in the last character are zero, as an encoder
// writes them.
bool hasCanonicalTail(const std::string& text) {
  if (text.empty() || text.back() != '=') return true;
  const bool twoPads = text[text.size() - 2] == '=';
  const std::size_t last = alphabet.find(text[text.size() - (twoPads ? 3 : 2)]);
  return (last & (twoPads ? 0x0F : 0x03)) == 0;
}

void checkDecoding(const std::string& text) {
  const auto bytes = I2pBase64::decode(text);
  FUZZ_REQUIRE(bytes.has_value() == isValidBase64(text));
  if (!bytes) return;
  const std::size_t padding = text.size() - text.find_last_not_of('=') - 1;
  FUZZ_REQUIRE(bytes->size() == text.size() / 4 * 3 - (text.empty() ? 0 : padding));
  FUZZ_REQUIRE(I2pBase64::decode(I2pBase64::encode(*bytes)) == bytes);
  if (hasCanonicalTail(text)) FUZZ_REQUIRE(I2pBase64::encode(*bytes) == text);
}

void checkEncoding(const std::string& bytes) {
  const std::string text = I2pBase64::encode(bytes);
  FUZZ_REQUIRE(text.size() == (bytes.size() + 2) / 3 * 4);
  FUZZ_REQUIRE(isValidBase64(text));
  FUZZ_REQUIRE(I2pBase64::decode(text) == bytes);
}

// The derivation, stated over the destination's bytes.
void checkDerivation(const std::string& priv) {
  const std::string pub = SAM::derivePublicDestination(priv);
  const auto bytes = I2pBase64::decode(priv);
  std::size_t publicLength = 0;
  if (bytes && bytes->size() >= certificateHeaderEnd) {
    publicLength = certificateHeaderEnd + (static_cast<unsigned char>((*bytes)[385]) << 8 |
                                           static_cast<unsigned char>((*bytes)[386]));
  }
  if (publicLength != 0 && bytes->size() >= publicLength) {
    FUZZ_REQUIRE(I2pBase64::decode(pub) == bytes->substr(0, publicLength));
    // A public destination is its own public part.
    FUZZ_REQUIRE(SAM::derivePublicDestination(pub) == pub);
  } else {
    FUZZ_REQUIRE(pub == priv.substr(0, plainPublicLength));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  checkDecoding(input);
  checkEncoding(input);
  checkDerivation(input);
  checkDerivation(I2pBase64::encode(input));
  return 0;
}
