#include "row_scanner.hpp"

#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <string>
#include <vector>

namespace tessivar {
namespace {

std::string row(const std::string& host, const std::string& helper, const std::string& host2) {
  return "<td><a href=\"http://" + host + "/?i2paddresshelper=" + helper +
         "\">a</a> <a href=\"http://" + host2 + "/\">b</a></td>";
}

struct ScanCase {
  const char* name;
  std::string line;
  bool matches;
  std::vector<std::string> groups;
};

TEST(RowScannerTest, FindsRowsAsTheRowPatternDescribesThem) {
  const std::vector<ScanCase> cases = {
      {"plain row",
       row("site.i2p", "AbC-~=", "x.b32.i2p"),
       true,
       {"site.i2p", "AbC-~=", "x.b32.i2p"}},
      {"row inside a table line ended by \\r",
       "<tr>" + row("a.i2p", "K", "b.i2p") + "<td>text</td></tr>\r",
       true,
       {"a.i2p", "K", "b.i2p"}},
      {"empty groups", row("", "", ""), true, {"", "", ""}},
      // Greedy groups: group 1 runs to the last place where the rest still matches.
      {"two rows on one line",
       row("one.i2p", "X1", "one2.i2p") + row("two.i2p", "X2", "two2.i2p"),
       true,
       {"one.i2p/?i2paddresshelper=X1\">a</a> <a href=\"http://one2.i2p/\">b</a></td><td><a "
        "href=\"http://two.i2p",
        "X2", "two2.i2p"}},
      {"\\r inside a host", row("a\rb.i2p", "K", "c.i2p"), false, {}},
      {"\\r ends the first row; the second counts",
       row("a.i2p", "K\r", "c.i2p") + row("d.i2p", "L", "e.i2p"),
       true,
       {"d.i2p", "L", "e.i2p"}},
      {"wrong label",
       "<td><a href=\"http://a.i2p/?i2paddresshelper=K\">c</a> <a "
       "href=\"http://b.i2p/\">b</a></td>",
       false,
       {}},
      {"missing slash",
       "<td><a href=\"http:/a.i2p/?i2paddresshelper=K\">a</a> <a "
       "href=\"http://b.i2p/\">b</a></td>",
       false,
       {}},
      {"empty line", "", false, {}},
  };
  const RowScanner scanner;
  ASSERT_TRUE(scanner.ok()) << scanner.error();
  ASSERT_EQ(scanner.groupCount(), 3);
  for (const auto& c : cases) {
    std::vector<std::string_view> groups;
    ASSERT_EQ(scanner.search(c.line, groups), c.matches) << c.name;
    if (!c.matches) continue;
    EXPECT_EQ(std::vector<std::string>(groups.begin(), groups.end()), c.groups) << c.name;
  }
}

TEST(RowScannerTest, ReportsAPatternThatDoesNotCompile) {
  const RowScanner scanner("<td>(");
  EXPECT_FALSE(scanner.ok());
  EXPECT_FALSE(scanner.error().empty());
  std::vector<std::string_view> groups;
  EXPECT_FALSE(scanner.search("<td>(", groups));
}

// Lines built from whole and broken matches (a skeleton whose "#" marks are filled with random
// words), pieces of the pattern's literals, and the bytes that decide matches ("\r", quotes,
// slashes), so that many lines match and many nearly do.
class LineGenerator {
 public:
  LineGenerator(std::string skeleton, std::vector<std::string> fragments, unsigned seed)
      : skeleton_(std::move(skeleton)), fragments_(std::move(fragments)), random_(seed) {}

  std::string next() {
    std::string line;
    const int pieces = pick(8);
    for (int i = 0; i < pieces; ++i) {
      switch (pick(6)) {
        case 0:
          line += filled();
          break;
        case 1:
          line += mutated(filled());
          break;
        case 2:
          line += fragments_[pick(static_cast<int>(fragments_.size()))];
          break;
        default:
          line += word();
          break;
      }
    }
    return line;
  }

 private:
  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }

  std::string word() {
    static const char alphabet[] = "ab.i2p/?\"<>=-~ \r\xe9\xff";
    std::string w;
    for (int n = pick(7); n > 0; --n) w += alphabet[pick(sizeof alphabet - 1)];
    return w;
  }

  std::string filled() {
    std::string text;
    for (char c : skeleton_) text += c == '#' ? word() : std::string(1, c);
    return text;
  }

  std::string mutated(std::string text) {
    if (text.empty()) return text;
    const std::size_t at = static_cast<std::size_t>(pick(static_cast<int>(text.size())));
    switch (pick(3)) {
      case 0:
        text.erase(at, 1);
        break;
      case 1:
        text.insert(at, 1, "/\"\r>a"[pick(5)]);
        break;
      default:
        text[at] = "/\"\rbx"[pick(5)];
        break;
    }
    return text;
  }

  std::string skeleton_;
  std::vector<std::string> fragments_;
  std::mt19937 random_;
};

struct DifferentialCase {
  const char* pattern;
  std::string skeleton;
  std::vector<std::string> fragments;
};

TEST(RowScannerTest, AgreesWithStdRegexOnGeneratedLines) {
  const std::vector<DifferentialCase> cases = {
      {RowScanner::kRowPattern,
       row("#", "#", "#"),
       {"<td><a href=\"http://", "/?i2paddresshelper=", "\">a</a> <a href=\"http://",
        "/\">b</a></td>", "\">b</a>", "</td>"}},
      // Patterns off the fast path: RE2 finds the groups itself.
      {R"re(<a href="([a-z.]*)">(.+)<\/a>)re",
       "<a href=\"#\">#</a>",
       {"<a href=\"", "\">", "</a>", "a.b"}},
      {"(a|ab)(c|bcd)?(d*)", "ab#cd", {"abcd", "abc", "ac", "dd"}},
      // On the fast path, with a group at the end.
      {"x(.*)y(.*)", "x#y#", {"x", "y", "xy", "\r"}},
  };
  const int linesPerPattern = 3000;
  for (const auto& c : cases) {
    const RowScanner scanner(c.pattern);
    ASSERT_TRUE(scanner.ok()) << c.pattern << ": " << scanner.error();
    const std::regex reference(c.pattern, std::regex::ECMAScript);
    LineGenerator generator(c.skeleton, c.fragments, 20240611);
    int matched = 0;
    for (int i = 0; i < linesPerPattern; ++i) {
      const std::string line = generator.next();
      std::smatch expected;
      const bool expectMatch = std::regex_search(line, expected, reference);
      std::vector<std::string_view> groups;
      ASSERT_EQ(scanner.search(line, groups), expectMatch) << c.pattern << " on " << line;
      if (!expectMatch) continue;
      ++matched;
      ASSERT_EQ(static_cast<int>(groups.size()), scanner.groupCount());
      for (std::size_t g = 0; g < groups.size(); ++g) {
        ASSERT_EQ(std::string(groups[g]), expected[g + 1].str())
            << c.pattern << " group " << g + 1 << " on " << line;
      }
    }
    // Both outcomes must be well represented, or the comparison proves little.
    EXPECT_GT(matched, linesPerPattern / 10) << c.pattern;
    EXPECT_LT(matched, linesPerPattern * 9 / 10) << c.pattern;
  }
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

}  // namespace
}  // namespace tessivar
