#include "sam/wire/i2p_base64.hpp"

#include <array>
#include <cstdint>

namespace SAM {

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-~";

// Maps a character to its 6-bit value, or -1 outside the alphabet.
constexpr std::array<int8_t, 256> makeDecodeTable() {
  std::array<int8_t, 256> table{};
  for (auto& entry : table) entry = -1;
  for (int i = 0; i < 64; ++i)
    table[static_cast<unsigned char>(alphabet[i])] = static_cast<int8_t>(i);
  return table;
}

constexpr std::array<int8_t, 256> decodeTable = makeDecodeTable();

}  // namespace

std::string I2pBase64::encode(const std::string& bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
                 static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
                 static_cast<unsigned char>(bytes[i + 2]);
    out += alphabet[v >> 18 & 63];
    out += alphabet[v >> 12 & 63];
    out += alphabet[v >> 6 & 63];
    out += alphabet[v & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
    if (rest == 2) v |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    out += alphabet[v >> 18 & 63];
    out += alphabet[v >> 12 & 63];
    out += rest == 2 ? alphabet[v >> 6 & 63] : '=';
    out += '=';
  }
  return out;
}

bool I2pBase64::isTextCharacter(char c) {
  return c == '=' || decodeTable[static_cast<unsigned char>(c)] >= 0;
}

std::optional<std::string> I2pBase64::decode(const std::string& text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
  const std::size_t dataChars = text.size() - padding;

  std::string out;
  out.reserve(text.size() / 4 * 3);
  uint32_t bits = 0;
  int bitCount = 0;
  for (std::size_t i = 0; i < dataChars; ++i) {
    const int8_t v = decodeTable[static_cast<unsigned char>(text[i])];
    if (v < 0) return std::nullopt;  // also catches "=" before the end
    bits = bits << 6 | static_cast<uint32_t>(v);
    bitCount += 6;
    if (bitCount >= 8) {
      bitCount -= 8;
      out += static_cast<char>(bits >> bitCount & 0xFF);
    }
  }
  return out;
}

}  // namespace SAM
