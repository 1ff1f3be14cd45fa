// The HTTP response reader (the row scanner's long lines are a row of the listing's table).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http_response_reader.hpp"

namespace tessivar {
namespace {

TEST(HttpResponseReaderTest, ReadsResponsesWholeAndByteByByte) {
  struct Case {
    std::string stream;  // every byte the peer sends before it closes
    bool doneBeforeEnd;  // complete or failed before the stream ends
    std::string body;
    std::string error;
  };
  const std::string ok = "HTTP/1.1 200 OK\r\n";
  const std::string chunked = ok + "Transfer-Encoding: chunked\r\n\r\n";
  const std::string badLength = "HTTP response bad Content-Length";
  const std::vector<Case> cases = {
      {ok + "Content-Length: 3\r\n\r\nabcGARBAGE", true, "abc", ""},
      {ok + "content-LENGTH:2\r\n\r\nhi", true, "hi", ""},
      {ok + "Content-Length: 0\r\n\r\n", true, "", ""},
      {ok + "Server: x\r\n\r\nline 1\nline 2\n", false, "line 1\nline 2\n", ""},
      {"HTTP/1.0 200\r\n\r\nold", false, "old", ""},
      {"HTTP/1.1 200 OK\nContent-Length: 2\n\nok", true, "ok", ""},
      {"HTTP/1.1 204 No Content\r\nContent-Length: 9\r\n\r\n", true, "", ""},
      {chunked + "4\r\n<td>\r\n9;ext=1\r\n<a href=\"\r\n0\r\n\r\n", true, "<td><a href=\"", ""},
      {ok + "Transfer-Encoding: Chunked\r\n\r\nB\r\nhello world\r\n0\r\nX: y\r\n\r\n", true,
       "hello world", ""},
      {ok + "Content-Length: 1\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\n0\r\n\r\n", true,
       "ab", ""},
      {chunked + "1\r\nz\r\n0\r\n", false, "z", ""},  // the stream ends in the trailers
      {"HTTP/1.1 404 Not Found\r\nContent-Length: 3\r\n\r\nnope", true, "",
       "HTTP status 404 Not Found"},
      {"HTTP/1.1 500 A\x1b[2J\r\n\r\n", true, "", "HTTP status 500 A?[2J"},
      {"HTTP/1.1 301 Moved\r\nLocation: /x\r\n\r\n", true, "", "HTTP status 301 Moved"},
      {"", false, "", "HTTP response empty"},
      {"SSH-2.0-OpenSSH\r\n", true, "", "HTTP response malformed status line"},
      {ok + "Content-Le", false, "", "HTTP response incomplete head"},
      {ok + "Content-Length: 10\r\n\r\nabc", false, "abc", "HTTP response incomplete body"},
      {chunked + "5\r\nab", false, "ab", "HTTP response incomplete body"},
      {chunked + "zz\r\n", true, "", "HTTP response bad chunk"},
      {chunked + "10000000000000000\r\nab", true, "", "HTTP response bad chunk"},  // 2^64
      {chunked + "FFFFFFFFFFFFFFFF\r\nab", false, "ab", "HTTP response incomplete body"},
      {chunked + "2\r\nabc\r\n", true, "ab", "HTTP response bad chunk"},
      {ok + "Content-Length: 12a\r\n\r\n", true, "", badLength},
      {ok + "Content-Length: 1\r\nContent-Length: 2\r\n\r\n", true, "", badLength},
      {ok + "Content-Length: 99999999999999999999\r\n\r\n", true, "", badLength},
      {ok + "Transfer-Encoding: gzip, chunked\r\n\r\n", true, "",
       "HTTP response unsupported Transfer-Encoding gzip, chunked"},
      {ok + "X: " + std::string(HttpResponseReader::kMaxLineLength, 'x'), true, "",
       "HTTP response line too long"},
  };
  for (const auto& c : cases) {
    for (std::size_t piece : {std::size_t{1}, c.stream.size() + 1}) {
      std::string body;
      HttpResponseReader reader([&body](const char* data, std::size_t n) { body.append(data, n); });
      for (std::size_t at = 0; at < c.stream.size() && !reader.isDone() && !reader.hasFailed();
           at += piece) {
        reader.feed(c.stream.data() + at, std::min(piece, c.stream.size() - at));
      }
      EXPECT_EQ(reader.isDone() || reader.hasFailed(), c.doneBeforeEnd) << c.stream;
      reader.finish();
      EXPECT_NE(reader.isDone(), reader.hasFailed()) << c.stream;
      EXPECT_EQ(reader.error(), c.error) << c.stream << ", pieces of " << piece;
      EXPECT_EQ(body, c.body) << c.stream << ", pieces of " << piece;
    }
  }
  HttpResponseReader throwing([](const char*, std::size_t) { throw std::runtime_error("full"); });
  EXPECT_THROW(throwing.feed((ok + "\r\nbody").data(), ok.size() + 6), std::runtime_error);
}

}  // namespace
}  // namespace tessivar
