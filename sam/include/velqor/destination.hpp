/// \file
/// Destinations: the addresses of I2P, and their key material. Part of <velqor/sam.hpp>; key
/// files are in <velqor/key_file.hpp>, which this header includes.
#ifndef VELQOR_DESTINATION_HPP
#define VELQOR_DESTINATION_HPP

#include <velqor/export.h>

#include <string>

namespace SAM {

/// A destination: the public part that peers connect to, and the private key material that
/// lets a session take that destination at the bridge.
struct VELQOR_EXPORT FullDestination {
  /// Empty strings, not generated.
  FullDestination() = default;
  /// The given strings, taken as they are.
  FullDestination(const std::string& pub, const std::string& priv, bool isGenerated);

  std::string pub;           ///< public destination, I2P base64
  std::string priv;          ///< private destination (full key material), I2P base64
  bool isGenerated = false;  ///< true when the bridge made it (TRANSIENT or DEST GENERATE)
};

/// Returns the public destination contained in the private destination `priv`.
///
/// The private destination is decoded from I2P base64 (alphabet A-Z a-z 0-9 "-" "~", "="
/// padding); the public destination is its first 387 + N bytes, where N is the big-endian
/// 16-bit certificate length at byte offsets 385-386, encoded again. EdDSA keys give 524
/// characters, old DSA keys 516.
/// CAVEAT: when `priv` does not decode, or is too short for its certificate, the result is the
/// first 516 characters of `priv` (all of it when shorter).
VELQOR_EXPORT std::string derivePublicDestination(const std::string& priv);

/// Returns the ".b32.i2p" address of the public destination `pub` (I2P base64): the SHA-256
/// hash of its decoded bytes in lower-case base32 (a-z 2-7, no padding, 52 characters),
/// followed by ".b32.i2p". Returns "" when `pub` is empty or does not decode.
/// CAVEAT: the bytes are hashed as they are; a private destination gives an address that
/// nothing answers to (derive the public one first).
VELQOR_EXPORT std::string b32Address(const std::string& pub);

}  // namespace SAM

#include <velqor/key_file.hpp>  // not above: key files speak of FullDestination

#endif  // VELQOR_DESTINATION_HPP
