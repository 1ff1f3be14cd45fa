// The HTTP response reader (the row scanner's long lines are a row of the listing's table), and
// what --check connects to for a row.
#include <gtest/gtest.h>
#include <velqor/sam.hpp>

#include <string>
#include <vector>

#include "check_target.hpp"
#include "fake_bridge.hpp"
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

TEST(CheckTargetTest, TakesTheHelperOnlyWhenItIsAWholePublicDestination) {
  std::vector<SAM::FullDestination> keys(3);  // EdDSA, old DSA (516 characters), ECDSA P-521
  keys[0] = SAM::FullDestination(velqor_test::testKeyPub(), velqor_test::testKeyPriv(), false);
  ASSERT_TRUE(SAM::loadKeyFile(VELQOR_TEST_DATA_DIR "/i2pd-dsa.dat", keys[1]).ok());
  ASSERT_TRUE(SAM::loadKeyFile(VELQOR_TEST_DATA_DIR "/i2pd-p521.dat", keys[2]).ok());
  ASSERT_EQ(keys[1].pub.size(), 516u);
  for (const auto& key : keys) {
    EXPECT_TRUE(isPublicDestination(key.pub)) << key.pub;
    for (const std::string& wrong : {key.priv, key.pub.substr(0, key.pub.size() - 4),
                                     key.pub + "AAAA", "+" + key.pub.substr(1)}) {
      EXPECT_FALSE(isPublicDestination(wrong)) << wrong;
    }
  }
  struct Case {
    std::string host, helper, host2;
    Via via;
    std::string destination, hostHeader;
  };
  const std::string pub = velqor_test::testKeyPub(), b32 = SAM::b32Address(pub);
  const std::vector<Case> cases = {
      {"a.i2p", pub, b32, Via::kHelper, pub, "a.i2p"},
      {b32, "x", "b.i2p", Via::kB32, b32, b32},
      {"c.i2p", "x", b32, Via::kB32, b32, "c.i2p"},
      {"d.i2p", "x", "e.i2p", Via::kName, "d.i2p", "d.i2p"},
      // What could start a second SAM command or HTTP header is never sent.
      {"f.i2p\r\nX: y", pub, "g.i2p", Via::kHelper, pub, b32},
      {"f.i2p SILENT=true", "x", "g.i2p DESTINATION=x", Via::kNone, "", ""},
      {"-h.i2p", "x", "x" + b32, Via::kNone, "", ""},
  };
  for (const Case& c : cases) {
    const CheckTarget target = checkTargetOf(c.host, c.helper, c.host2);
    EXPECT_EQ(target.via, c.via) << c.host;
    EXPECT_EQ(target.destination, c.destination) << c.host;
    EXPECT_EQ(target.hostHeader, c.hostHeader) << c.host;
  }
}

}  // namespace
}  // namespace tessivar
