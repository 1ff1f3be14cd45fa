#include "http_response_reader.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tessivar {
namespace {

struct ResponseCase {
  const char* name;
  std::string stream;      // every byte the peer sends before it closes
  bool completeBeforeEnd;  // the body ends before the stream does (no finish() needed)
  std::string body;
  std::string error;  // empty when the response is good
};

const std::string kOk = "HTTP/1.1 200 OK\r\n";

const std::vector<ResponseCase> kCases = {
    {"Content-Length", kOk + "Content-Length: 5\r\n\r\nhello", true, "hello", ""},
    {"bytes after the body are ignored", kOk + "Content-Length: 3\r\n\r\nabcGARBAGE", true, "abc",
     ""},
    {"header names in any case", kOk + "content-LENGTH:2\r\n\r\nhi", true, "hi", ""},
    {"empty body", kOk + "Content-Length: 0\r\n\r\n", true, "", ""},
    {"body until the stream ends", kOk + "Server: x\r\n\r\nline 1\nline 2\n", false,
     "line 1\nline 2\n", ""},
    {"HTTP/1.0 and no reason phrase", "HTTP/1.0 200\r\n\r\nold", false, "old", ""},
    {"bare \\n line ends", "HTTP/1.1 200 OK\nContent-Length: 2\n\nok", true, "ok", ""},
    {"204 has no body", "HTTP/1.1 204 No Content\r\nContent-Length: 9\r\n\r\n", true, "", ""},
    {"chunked",
     kOk + "Transfer-Encoding: chunked\r\n\r\n4\r\n<td>\r\n9;ext=1\r\n<a href=\"\r\n0\r\n\r\n",
     true, "<td><a href=\"", ""},
    {"chunked with trailers",
     kOk + "Transfer-Encoding: Chunked\r\n\r\nB\r\nhello world\r\n0\r\nX: y\r\n\r\n", true,
     "hello world", ""},
    {"chunked overrides Content-Length",
     kOk + "Content-Length: 1\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\n0\r\n\r\n", true,
     "ab", ""},
    {"last chunk, then the stream ends in the trailers",
     kOk + "Transfer-Encoding: chunked\r\n\r\n1\r\nz\r\n0\r\n", false, "z", ""},
    {"404", "HTTP/1.1 404 Not Found\r\nContent-Length: 3\r\n\r\nnope", true, "",
     "HTTP status 404 Not Found"},
    {"redirect", "HTTP/1.1 301 Moved Permanently\r\nLocation: /x\r\n\r\n", true, "",
     "HTTP status 301 Moved Permanently"},
    {"control bytes in the reason are not echoed", "HTTP/1.1 500 A\x1b[2J\r\n\r\n", true, "",
     "HTTP status 500 A?[2J"},
    {"no response at all", "", false, "", "HTTP response empty"},
    {"not HTTP", "SSH-2.0-OpenSSH\r\n", true, "", "HTTP response malformed status line"},
    {"head cut short", kOk + "Content-Le", false, "", "HTTP response incomplete head"},
    {"body cut short", kOk + "Content-Length: 10\r\n\r\nabc", false, "abc",
     "HTTP response incomplete body"},
    {"chunked body cut short", kOk + "Transfer-Encoding: chunked\r\n\r\n5\r\nab", false, "ab",
     "HTTP response incomplete body"},
    {"bad chunk size", kOk + "Transfer-Encoding: chunked\r\n\r\nzz\r\n", true, "",
     "HTTP response bad chunk"},
    {"chunk longer than its size", kOk + "Transfer-Encoding: chunked\r\n\r\n2\r\nabc\r\n", true,
     "ab", "HTTP response bad chunk"},
    {"bad Content-Length", kOk + "Content-Length: 12a\r\n\r\n", true, "",
     "HTTP response bad Content-Length"},
    {"conflicting Content-Length", kOk + "Content-Length: 1\r\nContent-Length: 2\r\n\r\n", true, "",
     "HTTP response bad Content-Length"},
    {"Content-Length beyond 64 bits", kOk + "Content-Length: 99999999999999999999\r\n\r\n", true,
     "", "HTTP response bad Content-Length"},
    {"compressed transfer", kOk + "Transfer-Encoding: gzip, chunked\r\n\r\n", true, "",
     "HTTP response unsupported Transfer-Encoding gzip, chunked"},
    {"endless header line", kOk + "X: " + std::string(HttpResponseReader::kMaxLineLength, 'x'),
     true, "", "HTTP response line too long"},
};

struct Outcome {
  bool completeBeforeEnd = false;
  std::string body;
  std::string error;
};

// Feeds `stream` in pieces of `pieceSize` bytes, as long as the reader wants more, then ends
// the stream if it still wants more.
Outcome readInPieces(const std::string& stream, std::size_t pieceSize) {
  Outcome outcome;
  HttpResponseReader reader(
      [&outcome](const char* data, std::size_t size) { outcome.body.append(data, size); });
  for (std::size_t at = 0; at < stream.size() && !reader.isDone() && !reader.hasFailed();
       at += pieceSize) {
    reader.feed(stream.data() + at, std::min(pieceSize, stream.size() - at));
  }
  outcome.completeBeforeEnd = reader.isDone() || reader.hasFailed();
  reader.finish();
  EXPECT_NE(reader.isDone(), reader.hasFailed());
  outcome.error = reader.error();
  return outcome;
}

TEST(HttpResponseReaderTest, ReadsResponsesWhateverTheirPieces) {
  for (const auto& c : kCases) {
    for (std::size_t pieceSize :
         {std::size_t{1}, std::size_t{2}, std::size_t{7}, c.stream.size() + 1}) {
      const Outcome outcome = readInPieces(c.stream, pieceSize);
      const std::string where = std::string(c.name) + ", pieces of " + std::to_string(pieceSize);
      EXPECT_EQ(outcome.error, c.error) << where;
      EXPECT_EQ(outcome.body, c.body) << where;
      EXPECT_EQ(outcome.completeBeforeEnd, c.completeBeforeEnd) << where;
    }
  }
}

TEST(HttpResponseReaderTest, ReportsTheStatusCode) {
  HttpResponseReader reader([](const char*, std::size_t) {});
  EXPECT_EQ(reader.statusCode(), 0);
  const std::string head = "HTTP/1.1 206 Partial Content\r\n";
  reader.feed(head.data(), head.size());
  EXPECT_EQ(reader.statusCode(), 206);
  EXPECT_FALSE(reader.hasFailed());
}

TEST(HttpResponseReaderTest, LetsAnExceptionOfTheSinkThrough) {
  HttpResponseReader reader(
      [](const char*, std::size_t) { throw std::runtime_error("disk full"); });
  const std::string response = kOk + "\r\nbody";
  EXPECT_THROW(reader.feed(response.data(), response.size()), std::runtime_error);
}

}  // namespace
}  // namespace tessivar
