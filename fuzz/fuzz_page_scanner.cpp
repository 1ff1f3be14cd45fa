// The tool's page scanning: a page of any bytes read back line by line from a file
// (FileLineReader over a file in memory, as the tool reads its temporary file) and searched
// with the row pattern (RowScanner).
//
// The input's first byte picks the pattern (its value modulo 6; "<" picks the row pattern):
// besides the row pattern, a few patterns of literals and greedy groups whose literals
// overlap, repeat or are empty reach the corners of the scanner's fast path for the groups.
// Oracles: the fast path against RE2's own submatches (the same pattern with "{1}" after each
// group, which keeps it off the fast path), and against std::regex on short lines.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "file_line_reader.hpp"
#include "fuzz_require.hpp"
#include "row_scanner.hpp"

namespace {

using tessivar::FileLineReader;
using tessivar::RowScanner;

// std::regex backtracks, so its time grows steeply with the line: it judges short lines only.
constexpr std::size_t maxReferenceLineLength = 96;

std::string withoutFastPath(std::string pattern) {
  for (std::size_t at = pattern.find("(.*)"); at != std::string::npos;
       at = pattern.find("(.*)", at + 7)) {
    pattern.insert(at + 4, "{1}");
  }
  return pattern;
}

struct Matchers {
  explicit Matchers(const std::string& pattern)
      : fast(pattern), slow(withoutFastPath(pattern)), reference(pattern) {}

  RowScanner fast;
  RowScanner slow;
  std::regex reference;  // ECMAScript, as the tool's pattern is written
};

const std::vector<const char*> patterns = {
    RowScanner::kRowPattern, "a(.*)a", "ab(.*)b(.*)ba", "<(.*)(.*)>(.*)<\\/", "(.*)x", "ab(.*)",
};

Matchers& matchersFor(unsigned char choice) {
  static std::vector<std::unique_ptr<Matchers>> all = [] {
    std::vector<std::unique_ptr<Matchers>> made;
    for (const char* pattern : patterns) {
      made.push_back(std::make_unique<Matchers>(pattern));
      FUZZ_REQUIRE(made.back()->fast.ok() && made.back()->slow.ok());
    }
    return made;
  }();
  return *all[choice % all.size()];
}

void checkLine(Matchers& matchers, const std::string& line) {
  std::vector<std::string_view> groups;
  std::vector<std::string_view> slowGroups;
  const bool found = matchers.fast.search(line, groups);
  FUZZ_REQUIRE(matchers.slow.search(line, slowGroups) == found);
  if (found) {
    FUZZ_REQUIRE(static_cast<int>(groups.size()) == matchers.fast.groupCount());
    FUZZ_REQUIRE(groups == slowGroups);
    for (std::string_view group : groups) {
      FUZZ_REQUIRE(group.empty() || (group.data() >= line.data() &&
                                     group.data() + group.size() <= line.data() + line.size()));
      FUZZ_REQUIRE(group.find_first_of("\r\n") == std::string_view::npos);
    }
  }
  if (line.size() <= maxReferenceLineLength) {
    std::smatch match;
    FUZZ_REQUIRE(std::regex_search(line, match, matchers.reference) == found);
    for (std::size_t g = 0; found && g < groups.size(); ++g) {
      FUZZ_REQUIRE(match[g + 1].str() == groups[g]);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  Matchers& matchers = matchersFor(data[0]);
  const std::string page(reinterpret_cast<const char*>(data) + 1, size - 1);

  const int fd = memfd_create("page", MFD_CLOEXEC);
  FUZZ_REQUIRE(fd >= 0);
  FUZZ_REQUIRE(write(fd, page.data(), page.size()) == static_cast<ssize_t>(page.size()));
  FUZZ_REQUIRE(lseek(fd, 0, SEEK_SET) == 0);

  FileLineReader lines(fd);
  std::string line;
  std::string joined;
  while (lines.next(line)) {
    FUZZ_REQUIRE(line.find('\n') == std::string::npos);
    joined += line + "\n";
    checkLine(matchers, line);
  }
  FUZZ_REQUIRE(!lines.failed());
  close(fd);
  // Every byte of the page is in exactly one line, and lines end where "\n" stands.
  FUZZ_REQUIRE(joined == page + (page.empty() || page.back() == '\n' ? "" : "\n"));
  return 0;
}
