// The tool's HTTP response reader. An input whose first byte is 0xFF describes a chunked
// response (the chunks' data, how each size is written, line ends, trailers, bytes after the
// end, an absurd size, the pieces in which it arrives): the decoded body must be exactly the
// chunks' data, complete before the stream ends, and after an absurd size the response fails
// with nothing in the body that was not sent as data. Any other input is the stream itself,
// fed whole, one byte at a time and in pseudo-random pieces: each must give the same outcome,
// status, error and body; after the end exactly one of done and failed holds, and nothing
// reaches the body any more.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <random>
#include <string>

#include "fuzz_require.hpp"
#include "http_response_reader.hpp"

namespace {

using tessivar::HttpResponseReader;

struct Outcome {
  bool doneBeforeEnd;
  bool done;
  bool failed;
  int statusCode;
  std::string error;
  std::string body;

  bool operator==(const Outcome& other) const {
    return doneBeforeEnd == other.doneBeforeEnd && done == other.done && failed == other.failed &&
           statusCode == other.statusCode && error == other.error && body == other.body;
  }
};

Outcome readInPieces(const std::string& stream, const std::function<std::size_t()>& nextSize) {
  std::string body;
  HttpResponseReader reader([&body](const char* data, std::size_t size) {
    FUZZ_REQUIRE(size > 0);
    body.append(data, size);
  });
  for (std::size_t at = 0; at < stream.size();) {
    const std::size_t size = std::min(nextSize(), stream.size() - at);
    reader.feed(stream.data() + at, size);
    at += size;
  }
  const bool doneBeforeEnd = reader.isDone();
  reader.finish();
  FUZZ_REQUIRE(reader.isDone() != reader.hasFailed());
  FUZZ_REQUIRE(reader.error().empty() == !reader.hasFailed());
  FUZZ_REQUIRE(body.size() <= stream.size());
  if (!body.empty()) FUZZ_REQUIRE(reader.statusCode() >= 200 && reader.statusCode() <= 299);

  const std::string bodyAtEnd = body;
  reader.feed("HTTP/1.1 200 OK\r\n\r\nmore", 23);
  reader.finish();
  FUZZ_REQUIRE(body == bodyAtEnd);
  return Outcome{doneBeforeEnd,       reader.isDone(), reader.hasFailed(),
                 reader.statusCode(), reader.error(),  body};
}

std::string hex(std::uint64_t value, bool upper) {
  char text[32];
  std::snprintf(text, sizeof text, upper ? "%llX" : "%llx", static_cast<unsigned long long>(value));
  return text;
}

const char* const extensions[] = {"", ";name=value", " ;x", "\t;a=\"b c\""};
const char* const absurdSizes[] = {
    "FFFFFFFFFFFFFFFF", "10000000000000000", "7fffffffffffffff", "-1", "0x10", ""};

void checkChunked(const uint8_t* data, std::size_t size) {
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
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size > 0 && data[0] == 0xFF) {
    checkChunked(data + 1, size - 1);
    return 0;
  }

  const std::string stream(reinterpret_cast<const char*>(data), size);
  const Outcome whole = readInPieces(stream, [size] { return size; });
  FUZZ_REQUIRE(readInPieces(stream, [] { return std::size_t{1}; }) == whole);
  std::minstd_rand random(static_cast<std::uint32_t>(std::hash<std::string>()(stream)));
  FUZZ_REQUIRE(readInPieces(stream, [&random] { return 1 + random() % 300; }) == whole);
  return 0;
}
