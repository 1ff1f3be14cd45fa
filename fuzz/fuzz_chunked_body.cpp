// The tool's decoding of chunked bodies. The input describes a chunked response: the chunks'
// data, how each size is written (case, leading zeros, extensions), line ends, trailers,
// bytes after the end, an absurd chunk size, and the pieces in which the stream arrives. The
// decoded body must be exactly the chunks' data, complete before the stream ends; after an
// absurd size, the response fails and the body holds nothing that was not sent as data.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz_require.hpp"
#include "http_response_reader.hpp"

namespace {

using tessivar::HttpResponseReader;

std::string hex(std::uint64_t value, bool upper) {
  char text[32];
  std::snprintf(text, sizeof text, upper ? "%llX" : "%llx", static_cast<unsigned long long>(value));
  return text;
}

const char* const extensions[] = {"", ";name=value", " ;x", "\t;a=\"b c\""};
const char* const absurdSizes[] = {
    "FFFFFFFFFFFFFFFF", "10000000000000000", "7fffffffffffffff", "-1", "0x10", ""};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string eol = input.ConsumeBool() ? "\r\n" : "\n";
  std::string stream = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  std::string expected;
  int absurd = -1;                  // which of absurdSizes is sent, if any
  std::size_t afterAbsurdSize = 0;  // where the bytes after its size line begin

  const int chunkCount = input.ConsumeIntegralInRange(0, 8);
  for (int i = 0; i < chunkCount; ++i) {
    const std::string chunk = input.ConsumeRandomLengthString(600);
    if (chunk.empty()) continue;  // size 0 is the last chunk
    if (input.ConsumeIntegralInRange(0, 15) == 0) {
      absurd = input.ConsumeIntegralInRange<int>(0, sizeof absurdSizes / sizeof *absurdSizes - 1);
      stream += absurdSizes[absurd] + eol;
      afterAbsurdSize = stream.size();
      stream += chunk + eol;
      break;
    }
    stream += std::string(input.ConsumeIntegralInRange(0, 3), '0') +
              hex(chunk.size(), input.ConsumeBool()) +
              extensions[input.ConsumeIntegralInRange(0, 3)] + eol + chunk + eol;
    expected += chunk;
  }
  if (absurd < 0) {
    stream += std::string(1 + input.ConsumeIntegralInRange(0, 2), '0') +
              extensions[input.ConsumeIntegralInRange(0, 3)] + eol;
    if (input.ConsumeBool()) stream += "Trailer-Field: x" + eol;
    stream += eol;
  }
  const std::size_t endOfResponse = stream.size();
  stream += input.ConsumeRandomLengthString(64);  // bytes after the end: ignored

  std::string body;
  HttpResponseReader reader(
      [&body](const char* bytes, std::size_t count) { body.append(bytes, count); });
  bool doneAtEndOfResponse = false;
  for (std::size_t at = 0; at < stream.size();) {
    const std::size_t piece = std::min<std::size_t>(
        stream.size() - at, input.ConsumeIntegralInRange<std::size_t>(1, 128));
    reader.feed(stream.data() + at, piece);
    at += piece;
    if (at >= endOfResponse && !doneAtEndOfResponse) doneAtEndOfResponse = reader.isDone();
  }
  reader.finish();

  if (absurd < 0) {
    FUZZ_REQUIRE(doneAtEndOfResponse);
    FUZZ_REQUIRE(!reader.hasFailed());
    FUZZ_REQUIRE(body == expected);
  } else {
    FUZZ_REQUIRE(reader.hasFailed());
    FUZZ_REQUIRE(body.compare(0, expected.size(), expected) == 0);
    // Only the bytes that follow the absurd size line may have been taken as data.
    FUZZ_REQUIRE(body.compare(expected.size(), std::string::npos, stream, afterAbsurdSize,
                              body.size() - expected.size()) == 0);
  }
  return 0;
}
