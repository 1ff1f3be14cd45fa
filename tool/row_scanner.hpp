// Finds the rows of a directory site's table of eepsites, one line of the page at a time.
#ifndef TESSIVAR_ROW_SCANNER_HPP
#define TESSIVAR_ROW_SCANNER_HPP

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace re2 {
class RE2;
}

namespace tessivar {

// Searches lines for a regular expression written in ECMAScript syntax, with the results that
// std::regex_search gives for it with the ECMAScript grammar:
//  1. The match is the leftmost one; among the matches that start there, the groups are
//     chosen as a backtracking matcher chooses them (greedy groups take as much as they can).
//  2. "." matches any byte except "\r" and "\n".
//  3. Only the first match of a line is reported.
// Matching runs in time linear in the length of the line, whatever the line holds.
//
// The pattern text must stay within the syntax that ECMAScript and RE2 share (no
// backreferences, no lookahead). Patterns made of literal characters, escaped punctuation
// and greedy "(.*)" groups, like the row pattern, take a fast path: their matches are found
// by searching for the literals alone, which on a directory page is about nine times faster
// than RE2's automata.
//
// Thread safety: a constructed scanner may be used from several threads at once.
class RowScanner {
 public:
  // The row of the table: a link labelled "a" to a host with its address helper, then a
  // link labelled "b" to a second host. Group 1 is the first host, group 2 the value of
  // i2paddresshelper, group 3 the second host.
  static const char kRowPattern[];

  // Compiles `ecmaPattern`. Never throws on a bad pattern: ok() is then false and error()
  // says why.
  explicit RowScanner(const std::string& ecmaPattern = kRowPattern);
  ~RowScanner();
  RowScanner(const RowScanner&) = delete;  // holds a compiled program; share by reference
  RowScanner& operator=(const RowScanner&) = delete;

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  // The number of capture groups in the pattern.
  int groupCount() const { return groupCount_; }

  // Searches `line` (which should not hold "\n"). On a match returns true and sets
  // `groups` to groupCount() views into `line`, group 1 first; a group that took no part in
  // the match is an empty view. Returns false (and leaves `groups` unspecified) otherwise,
  // and always when !ok().
  bool search(std::string_view line, std::vector<std::string_view>& groups) const;

 private:
  // A literal of the pattern with its skip tables (Horspool's), for searching it in either
  // direction while stepping over most places without comparing there.
  class Literal {
   public:
    explicit Literal(std::string text);
    std::size_t size() const { return text_.size(); }
    // The first place at or after `from`, and the last, where the literal lies wholly inside
    // text[from, to); std::string_view::npos when there is none.
    std::size_t findIn(std::string_view text, std::size_t from, std::size_t to) const;
    std::size_t rfindIn(std::string_view text, std::size_t from, std::size_t to) const;

   private:
    std::string text_;
    // How far the window may move when it holds a given byte at its last place (forwards) or
    // at its first (backwards); capped at 255, as a shorter move is always safe.
    std::array<std::uint8_t, 256> forwardShift_;
    std::array<std::uint8_t, 256> backwardShift_;
  };

  // The pattern as a sequence literal (.*) literal ... (.*) literal, when it has that form.
  bool splitIntoLiterals(const std::string& ecmaPattern);
  bool searchByLiterals(std::string_view line, std::vector<std::string_view>& groups) const;

  std::unique_ptr<re2::RE2> regex_;
  std::string error_;
  int groupCount_ = 0;
  bool literalsAndGroups_ = false;
  std::vector<Literal> literals_;  // groupCount_ + 1 literals around the groups
};

}  // namespace tessivar

#endif  // TESSIVAR_ROW_SCANNER_HPP
