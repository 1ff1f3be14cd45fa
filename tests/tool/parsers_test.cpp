#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "file_line_reader.hpp"
#include "http_response_reader.hpp"
#include "row_scanner.hpp"

namespace tessivar {
namespace {

std::string row(const std::string& host, const std::string& helper, const std::string& host2) {
  return "<td><a href=\"http://" + host + "/?i2paddresshelper=" + helper +
         "\">a</a> <a href=\"http://" + host2 + "/\">b</a></td>";
}

// Lines of whole and mutated matches (the skeleton with its "#" filled with random words),
// pieces of the skeleton and words of the bytes that decide matches ("\r", quotes, slashes).
struct LineGenerator {
  std::string next() {
    std::string line;
    for (int pieces = pick(8); pieces > 0; --pieces) {
      const int kind = pick(6);
      line += kind == 0   ? filled()
              : kind == 1 ? mutated(filled())
              : kind == 2 ? skeleton.substr(pick(skeleton.size()), pick(skeleton.size()))
                          : word();
    }
    return line;
  }
  int pick(std::size_t n) {
    return std::uniform_int_distribution<int>(0, static_cast<int>(n) - 1)(random);
  }
  std::string word() {
    static const char alphabet[] = "ab.i2p/?\"<>=-~ \r\xe9\xff";
    std::string w;
    for (int n = pick(7); n > 0; --n) w += alphabet[pick(sizeof alphabet - 1)];
    return w;
  }
  std::string filled() {
    std::string text;
    for (char c : skeleton) text += c == '#' ? word() : std::string(1, c);
    return text;
  }
  std::string mutated(std::string text) {
    const int how = pick(3);  // erase, insert or replace one byte
    text.replace(pick(text.size()), how == 1 ? 0 : 1, "/\"\rbx>a" + pick(7), how == 0 ? 0 : 1);
    return text;
  }

  std::string skeleton;
  std::mt19937 random{20240611};
};

TEST(RowScannerTest, AgreesWithStdRegexOnGeneratedLines) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {RowScanner::kRowPattern, row("#", "#", "#")},
      // Off the fast path (RE2 finds the groups), then on it with a group at the end.
      {R"re(<a href="([a-z.]*)">(.+)<\/a>)re", "<a href=\"#\">#</a>"},
      {"(a|ab)(c|bcd)?(d*)", "ab#cd"},
      {"x(.*)y(.*)", "x#y#"},
  };
  const int lines = 3000;
  for (const auto& [pattern, skeleton] : cases) {
    const RowScanner scanner(pattern);
    ASSERT_TRUE(scanner.ok()) << pattern << ": " << scanner.error();
    const std::regex reference(pattern, std::regex::ECMAScript);
    LineGenerator generator{skeleton};
    int matched = 0;
    for (int i = 0; i < lines; ++i) {
      const std::string line = generator.next();
      std::smatch expected;
      std::vector<std::string_view> groups;
      ASSERT_EQ(scanner.search(line, groups), std::regex_search(line, expected, reference))
          << pattern << " on " << line;
      if (expected.empty()) continue;
      ++matched;
      ASSERT_EQ(static_cast<int>(groups.size()), scanner.groupCount());
      for (std::size_t g = 0; g < groups.size(); ++g) {
        ASSERT_EQ(groups[g], expected[g + 1].str()) << pattern << " #" << g + 1 << " " << line;
      }
    }
    // Both outcomes must be well represented, or the comparison proves little.
    EXPECT_GT(matched, lines / 10) << pattern;
    EXPECT_LT(matched, lines * 9 / 10) << pattern;
  }
  EXPECT_FALSE(RowScanner("<td>(").ok());
}

TEST(RowScannerTest, FinishesOnTenMegabyteLines) {
  const std::size_t length = 10 * 1024 * 1024;
  const RowScanner scanner;
  std::vector<std::string_view> groups;
  // Row openings that never close: the worst case for a backtracking matcher.
  const std::string opening =
      "<td><a href=\"http://h/?i2paddresshelper=v\">a</a> <a href=\"http://";
  std::string noMatch;
  while (noMatch.size() < length) noMatch += opening;
  EXPECT_FALSE(scanner.search(noMatch, groups));
  const std::string bigRow = row("big.i2p", std::string(length, 'Q'), "b.i2p");
  ASSERT_TRUE(scanner.search(bigRow, groups));
  EXPECT_EQ(groups[0], "big.i2p");
  EXPECT_EQ(groups[1].size(), length);
  EXPECT_EQ(groups[2], "b.i2p");
}

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
      {"", false, "", "HTTP response empty"},
      {"SSH-2.0-OpenSSH\r\n", true, "", "HTTP response malformed status line"},
      {ok + "Content-Le", false, "", "HTTP response incomplete head"},
      {ok + "Content-Length: 10\r\n\r\nabc", false, "abc", "HTTP response incomplete body"},
      {chunked + "5\r\nab", false, "ab", "HTTP response incomplete body"},
      {chunked + "zz\r\n", true, "", "HTTP response bad chunk"},
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

TEST(FileLineReaderTest, SplitsAsGetlineDoes) {
  const std::size_t buffer = FileLineReader::kBufferSize;
  for (const std::string& text :
       {std::string(), std::string("a\nb"), std::string("\n\n"), std::string("a\r\nb\r\n"),
        std::string("zero\0byte\n", 10),
        std::string(buffer - 1, 'x') + "\nnext\n",  // the "\n" is the buffer's last byte
        std::string(buffer, 'y') + "\nnext",        // the "\n" starts the second buffer
        std::string(3 * buffer + 17, 'z') + "\n\n" + std::string(buffer, 'w')}) {
    FILE* file = std::tmpfile();
    ASSERT_EQ(std::fwrite(text.data(), 1, text.size(), file), text.size());
    std::rewind(file);
    FileLineReader reader(fileno(file));
    std::istringstream in(text);
    std::string line, expected;
    while (reader.next(line)) {
      ASSERT_TRUE(std::getline(in, expected));
      EXPECT_EQ(line, expected);
    }
    EXPECT_FALSE(std::getline(in, expected)) << text.size() << " bytes";
    EXPECT_FALSE(reader.failed());
    std::fclose(file);
  }
}

}  // namespace
}  // namespace tessivar
