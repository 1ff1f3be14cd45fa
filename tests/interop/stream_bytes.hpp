// Test payloads and reading helpers for streams carried by the library's sockets.
#ifndef VELQOR_TESTS_INTEROP_STREAM_BYTES_HPP
#define VELQOR_TESTS_INTEROP_STREAM_BYTES_HPP

#include <velqor/sam.hpp>

#include <cstddef>
#include <cstdint>
#include <string>

namespace velqor_interop {

// `size` pseudo-random bytes drawn from `seed`, every value 0 to 255 included; runs of zero
// bytes are frequent, so a transfer that stops at a zero byte is caught.
std::string patternBytes(std::size_t size, uint32_t seed);
// Reads from `socket` until `size` bytes have arrived or the stream has ended.
std::string readExactly(SAM::I2pSocket& socket, std::size_t size);
// Reads from `socket` until the stream ends.
std::string readUntilEnd(SAM::I2pSocket& socket);
// The first difference between `expected` and `actual`, for a failure message ("" if equal).
std::string describeDifference(const std::string& expected, const std::string& actual);

}  // namespace velqor_interop

#endif  // VELQOR_TESTS_INTEROP_STREAM_BYTES_HPP
