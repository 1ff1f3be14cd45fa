// The tool's HTTP response reader on any stream, fed whole, one byte at a time and in
// pseudo-random pieces: each must give the same outcome, status, error and body; after the end
// exactly one of done and failed holds, and nothing reaches the body any more.
#include <algorithm>
#include <cstddef>
#include <cstdint>
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string stream(reinterpret_cast<const char*>(data), size);
  const Outcome whole = readInPieces(stream, [size] { return size; });
  FUZZ_REQUIRE(readInPieces(stream, [] { return std::size_t{1}; }) == whole);
  std::minstd_rand random(static_cast<std::uint32_t>(std::hash<std::string>()(stream)));
  FUZZ_REQUIRE(readInPieces(stream, [&random] { return 1 + random() % 300; }) == whole);
  return 0;
}
