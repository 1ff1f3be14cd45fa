#include "check_target.hpp"

#include <velqor/sam.hpp>

#include <cctype>
#include <cstdint>
#include <vector>

namespace tessivar {

namespace {

// The value of an I2P base64 character, or -1.
int base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '-') return 62;
  if (c == '~') return 63;
  return -1;
}

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// A .b32.i2p address: 52 base32 characters (a-z, 2-7), or 56 and more for an encrypted lease
// set's, as the router takes them.
bool isB32Address(std::string_view text) {
  constexpr std::string_view suffix = ".b32.i2p";
  if (!endsWith(text, suffix)) return false;
  const std::size_t length = text.size() - suffix.size();
  if (length != 52 && length < 56) return false;
  for (char c : text.substr(0, text.size() - suffix.size())) {
    if (!((c >= 'a' && c <= 'z') || (c >= '2' && c <= '7'))) return false;
  }
  return true;
}

// Labels of letters, digits and "-" between dots, ending in ".i2p": safe in a SAM line and an
// HTTP header alike.
bool isI2pHostName(std::string_view text) {
  if (text.size() > 253 || !endsWith(text, ".i2p") || text.size() == 4) return false;
  bool labelStart = true;
  for (char c : text) {
    if (c == '.') {
      if (labelStart) return false;
      labelStart = true;
    } else if (std::isalnum(static_cast<unsigned char>(c)) || (c == '-' && !labelStart)) {
      labelStart = false;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

const char* viaName(Via via) {
  switch (via) {
    case Via::kHelper:
      return "helper";
    case Via::kB32:
      return "b32";
    case Via::kName:
      return "name";
    case Via::kNone:
      break;
  }
  return "-";
}

bool isPublicDestination(std::string_view text) {
  // Longer texts are no destination the bridge would take in one request line.
  if (text.empty() || text.size() % 4 != 0 || text.size() > 4096) return false;
  std::size_t padding = 0;
  while (padding < 2 && text[text.size() - 1 - padding] == '=') ++padding;
  std::vector<std::uint8_t> bytes;
  bytes.reserve(text.size() / 4 * 3);
  std::uint32_t bits = 0;
  int count = 0;
  for (char c : text.substr(0, text.size() - padding)) {
    const int value = base64Value(c);
    if (value < 0) return false;
    bits = bits << 6 | static_cast<std::uint32_t>(value);
    if (++count % 4 == 0) {
      bytes.push_back(static_cast<std::uint8_t>(bits >> 16));
      bytes.push_back(static_cast<std::uint8_t>(bits >> 8));
      bytes.push_back(static_cast<std::uint8_t>(bits));
      bits = 0;
    }
  }
  // The last group: 3 characters give 2 bytes, 2 give 1.
  if (padding == 2) {
    bytes.push_back(static_cast<std::uint8_t>(bits >> 4));
  } else if (padding == 1) {
    bytes.push_back(static_cast<std::uint8_t>(bits >> 10));
    bytes.push_back(static_cast<std::uint8_t>(bits >> 2));
  }
  if (bytes.size() < 387) return false;
  const std::size_t certificateLength = static_cast<std::size_t>(bytes[385]) << 8 | bytes[386];
  return bytes.size() == 387 + certificateLength;
}

CheckTarget checkTargetOf(std::string_view host, std::string_view helper, std::string_view host2) {
  CheckTarget target;
  target.host = std::string(host);
  if (isPublicDestination(helper)) {
    target.via = Via::kHelper;
    target.destination = std::string(helper);
  } else if (isB32Address(host)) {
    target.via = Via::kB32;
    target.destination = std::string(host);
  } else if (isB32Address(host2)) {
    target.via = Via::kB32;
    target.destination = std::string(host2);
  } else if (isI2pHostName(host)) {
    target.via = Via::kName;
    target.destination = std::string(host);
  }
  if (isI2pHostName(host)) {  // b32 addresses included
    target.hostHeader = std::string(host);
  } else if (target.via == Via::kHelper) {
    target.hostHeader = SAM::b32Address(target.destination);
  } else {
    target.hostHeader = target.destination;
  }
  return target;
}

}  // namespace tessivar
