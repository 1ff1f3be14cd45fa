// What tessivar --check connects to for one row of a directory page.
#ifndef TESSIVAR_CHECK_TARGET_HPP
#define TESSIVAR_CHECK_TARGET_HPP

#include <string>
#include <string_view>

namespace tessivar {

// Which part of the row the probe's destination came from.
enum class Via { kNone, kHelper, kB32, kName };

// "helper", "b32", "name", or "-" for kNone.
const char* viaName(Via via);

// One listed eepsite and how to reach it.
struct CheckTarget {
  std::string host;         // the row's first host, as the page has it (untrusted bytes)
  std::string destination;  // given to STREAM CONNECT; "" when the row has no usable address
  std::string hostHeader;   // the Host header of the request; safe to send
  Via via = Via::kNone;
};

// Chooses the destination of the row (host, address helper, second host):
//  1. the helper, when it is a whole public destination in I2P base64 (isPublicDestination);
//  2. else the row's b32 link: the host, or else the second host, when it is a .b32.i2p
//     address;
//  3. else the host, when it is a plain .i2p host name, for the router to resolve;
//  4. else none (Via::kNone).
// The Host header is the host when it is a valid host name, else the address connected to
// (the b32 address of the helper when that is the one).
CheckTarget checkTargetOf(std::string_view host, std::string_view helper, std::string_view host2);

// Whether `text` is exactly one public destination: I2P base64 (A-Z a-z 0-9 - ~, "=" padding)
// of 387 bytes and the certificate whose length bytes 385 and 386 give, nothing more or less.
// Old DSA destinations (516 characters) and EdDSA ones (524) both pass; a private destination,
// a cut one or one with bytes after it does not.
bool isPublicDestination(std::string_view text);

}  // namespace tessivar

#endif  // TESSIVAR_CHECK_TARGET_HPP
