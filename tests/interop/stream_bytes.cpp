#include "stream_bytes.hpp"

#include <algorithm>
#include <random>

namespace velqor_interop {

std::string patternBytes(std::size_t size, uint32_t seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    const uint32_t draw = generator();
    // One byte in eight is a zero, sometimes many in a row; the rest are uniform.
    bytes[i] = (draw & 7u) == 0 ? '\0' : static_cast<char>((draw >> 8) & 0xffu);
  }
  return bytes;
}

std::string readExactly(SAM::I2pSocket& socket, std::size_t size) {
  std::string received;
  while (received.size() < size) {
    const std::string chunk = socket.read();
    if (chunk.empty()) break;
    received += chunk;
  }
  return received;
}

std::string readUntilEnd(SAM::I2pSocket& socket) {
  std::string received;
  for (std::string chunk = socket.read(); !chunk.empty(); chunk = socket.read()) {
    received += chunk;
  }
  return received;
}

std::string describeDifference(const std::string& expected, const std::string& actual) {
  if (expected == actual) return "";
  const auto mismatch = std::mismatch(expected.begin(), expected.end(), actual.begin(),
                                      actual.begin() + std::min(expected.size(), actual.size()));
  return "expected " + std::to_string(expected.size()) + " bytes, got " +
         std::to_string(actual.size()) + "; first difference at byte " +
         std::to_string(mismatch.first - expected.begin());
}

}  // namespace velqor_interop
