// The base64 variant of I2P: alphabet A-Z a-z 0-9 "-" "~", padded with "=".
// Internal: not part of the public interface.
#ifndef VELQOR_SAM_WIRE_I2P_BASE64_HPP
#define VELQOR_SAM_WIRE_I2P_BASE64_HPP

#include <optional>
#include <string>

namespace SAM {

class I2pBase64 {
 public:
  I2pBase64() = delete;

  // Returns `bytes` encoded, with "=" padding to a multiple of four characters.
  static std::string encode(const std::string& bytes);

  // Whether `c` may appear in I2P base64 text: a character of the alphabet, or the padding "=".
  static bool isTextCharacter(char c);

  // Returns the bytes of `text`, or nothing when `text` is not valid: a length that is not a
  // multiple of four, a character outside the alphabet, or padding anywhere but at the end.
  static std::optional<std::string> decode(const std::string& text);
};

}  // namespace SAM

#endif  // VELQOR_SAM_WIRE_I2P_BASE64_HPP
