// Line splitting: bytes fed in pieces of fuzzer-chosen sizes, lines taken after each piece,
// under a fuzzer-chosen length bound. Checks that no byte is lost, doubled or reordered and
// that every outcome is the one the buffer calls for.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_require.hpp"
#include "sam/line_splitter.hpp"

using SAM::LineSplitter;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::size_t maxLength = input.ConsumeIntegralInRange<std::size_t>(1, 300);

  std::string fed;
  std::string taken;
  std::string buffer;
  std::size_t scanFrom = 0;
  bool tooLong = false;
  while (!tooLong && input.remaining_bytes() > 0) {
    const std::string piece =
        input.ConsumeBytesAsString(input.ConsumeIntegralInRange<std::size_t>(0, 64));
    fed += piece;
    buffer += piece;
    for (;;) {
      const std::string before = buffer;
      std::string line = "untouched";
      const LineSplitter::Outcome outcome =
          LineSplitter::takeLine(buffer, scanFrom, maxLength, line);
      const std::size_t newline = before.find('\n');
      if (outcome == LineSplitter::LINE) {
        FUZZ_REQUIRE(newline != std::string::npos && newline + 1 <= maxLength);
        FUZZ_REQUIRE(line == before.substr(0, newline + 1));
        FUZZ_REQUIRE(buffer == before.substr(newline + 1));
        FUZZ_REQUIRE(scanFrom == 0);
        taken += line;
        continue;
      }
      FUZZ_REQUIRE(buffer == before && line == "untouched");
      if (outcome == LineSplitter::NEED_MORE) {
        FUZZ_REQUIRE(newline == std::string::npos && buffer.size() < maxLength);
        FUZZ_REQUIRE(scanFrom == buffer.size());
      } else {
        FUZZ_REQUIRE(outcome == LineSplitter::TOO_LONG);
        FUZZ_REQUIRE(newline == std::string::npos ? buffer.size() >= maxLength
                                                  : newline + 1 > maxLength);
        tooLong = true;
      }
      break;
    }
  }
  FUZZ_REQUIRE(taken + buffer == fed);
  return 0;
}
