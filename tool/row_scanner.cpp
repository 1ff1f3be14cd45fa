#include "row_scanner.hpp"

#include <re2/re2.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace tessivar {

const char RowScanner::kRowPattern[] =
    R"re(<td><a href="http:\/\/(.*)\/\?i2paddresshelper=(.*)">a<\/a> <a href="http:\/\/(.*)\/">b<\/a><\/td>)re";

namespace {

// Rewrites ECMAScript pattern text for RE2. Only "." differs in meaning between the two for
// the shared syntax: ECMAScript's excludes both line terminators, RE2's only "\n".
std::string toRe2Syntax(const std::string& ecma) {
  std::string out;
  out.reserve(ecma.size() + 16);
  bool inClass = false;
  for (std::size_t i = 0; i < ecma.size(); ++i) {
    const char c = ecma[i];
    if (c == '\\' && i + 1 < ecma.size()) {
      out += c;
      out += ecma[++i];
    } else if (inClass) {
      out += c;
      if (c == ']') inClass = false;
    } else if (c == '[') {
      out += c;
      inClass = true;
    } else if (c == '.') {
      out += "[^\\r\\n]";
    } else {
      out += c;
    }
  }
  return out;
}

bool isQuantifier(char c) { return c == '*' || c == '+' || c == '?' || c == '{'; }

std::string_view view(const re2::StringPiece& piece) {
  return std::string_view(piece.data(), piece.size());
}

}  // namespace

RowScanner::RowScanner(const std::string& ecmaPattern) {
  RE2::Options options;
  options.set_encoding(RE2::Options::EncodingLatin1);  // bytes, as std::regex over char
  options.set_log_errors(false);
  regex_ = std::make_unique<RE2>(toRe2Syntax(ecmaPattern), options);
  if (!regex_->ok()) {
    error_ = regex_->error();
    if (error_.empty()) error_ = "invalid pattern";
    return;
  }
  groupCount_ = regex_->NumberOfCapturingGroups();
  literalsAndGroups_ = splitIntoLiterals(ecmaPattern);
}

RowScanner::~RowScanner() = default;

bool RowScanner::splitIntoLiterals(const std::string& ecmaPattern) {
  static const char metacharacters[] = "^$\\.*+?()[]{}|";
  static const char group[] = "(.*)";
  std::vector<std::string> literals(1);
  std::size_t i = 0;
  while (i < ecmaPattern.size()) {
    if (ecmaPattern.compare(i, 4, group) == 0) {
      literals.emplace_back();
      i += 4;
    } else {
      char literal = ecmaPattern[i];
      if (literal == '\\') {
        if (i + 1 == ecmaPattern.size()) return false;
        literal = ecmaPattern[i + 1];
        // Only escaped punctuation stands for itself; \d, \n, \b and the like do not.
        if (!std::ispunct(static_cast<unsigned char>(literal))) return false;
        i += 2;
      } else {
        if (std::strchr(metacharacters, literal) != nullptr) return false;
        if (literal == '\r' || literal == '\n') return false;
        i += 1;
      }
      literals.back() += literal;
    }
    if (i < ecmaPattern.size() && isQuantifier(ecmaPattern[i])) return false;
  }
  if (static_cast<int>(literals.size()) != groupCount_ + 1) return false;
  for (std::string& literal : literals) literals_.emplace_back(std::move(literal));
  return true;
}

bool RowScanner::search(std::string_view line, std::vector<std::string_view>& groups) const {
  if (!ok()) return false;
  if (literalsAndGroups_) return searchByLiterals(line, groups);
  const re2::StringPiece text(line.data(), line.size());
  // Finding where the match lies needs only RE2's automata, which run in linear time and
  // fast; asking RE2 for the groups at once would make it use a slower matcher on every line.
  re2::StringPiece whole;
  if (!regex_->Match(text, 0, text.size(), RE2::UNANCHORED, &whole, 1)) return false;
  groups.assign(static_cast<std::size_t>(groupCount_), std::string_view());
  if (groupCount_ == 0) return true;

  // Within the bounds of the whole match, the groups are those of the match on the line.
  std::vector<re2::StringPiece> submatches(static_cast<std::size_t>(groupCount_) + 1);
  const std::size_t start = static_cast<std::size_t>(whole.data() - text.data());
  if (!regex_->Match(text, start, start + whole.size(), RE2::ANCHOR_BOTH, submatches.data(),
                     groupCount_ + 1)) {
    return false;  // not reached: the same program matched this text a moment ago
  }
  for (int g = 0; g < groupCount_; ++g) groups[g] = view(submatches[g + 1]);
  return true;
}

// A match holds no "\r" or "\n" (the literals hold none and "." takes neither), so it lies in
// one stretch of the line between them, where each "(.*)" may take any byte. It starts at the
// first place of the first literal in the first stretch where the other literals follow that
// place in order: if they do not follow the first place, they follow no later one. The
// groups are greedy, earliest first: each literal sits at its last place in the stretch that
// leaves room for the literals after it, which a walk from the stretch's end finds.
bool RowScanner::searchByLiterals(std::string_view line,
                                  std::vector<std::string_view>& groups) const {
  const std::size_t npos = std::string_view::npos;
  const auto nextByte = [line](char byte, std::size_t from) {
    const void* at = std::memchr(line.data() + from, byte, line.size() - from);
    return at == nullptr ? line.size()
                         : static_cast<std::size_t>(static_cast<const char*>(at) - line.data());
  };
  groups.assign(static_cast<std::size_t>(groupCount_), std::string_view());
  const Literal& first = literals_.front();
  // Kept from stretch to stretch, so that a line of many stretches is not searched again
  // to its end for each.
  std::size_t newline = nextByte('\n', 0);
  for (std::size_t from = 0;;) {
    const std::size_t start = first.findIn(line, from, line.size());
    if (start == npos) return false;
    if (groupCount_ == 0) return true;
    const std::size_t groupsBegin = start + first.size();
    if (newline < groupsBegin) newline = nextByte('\n', groupsBegin);
    const std::size_t end = std::min(nextByte('\r', groupsBegin), newline);

    std::size_t next = literals_.back().rfindIn(line, groupsBegin, end);  // literal j + 1
    for (std::size_t j = literals_.size() - 1; next != npos && j-- > 1;) {
      const std::size_t at = literals_[j].rfindIn(line, groupsBegin, next);
      if (at != npos) {
        const std::size_t groupBegin = at + literals_[j].size();
        groups[j] = line.substr(groupBegin, next - groupBegin);
      }
      next = at;
    }
    if (next != npos) {
      groups[0] = line.substr(groupsBegin, next - groupsBegin);
      return true;
    }
    if (end == line.size()) return false;
    from = end + 1;
  }
}

RowScanner::Literal::Literal(std::string text) : text_(std::move(text)) {
  const std::size_t length = text_.size();
  const auto capped = [](std::size_t shift) {
    return static_cast<std::uint8_t>(shift < 255 ? shift : 255);
  };
  forwardShift_.fill(capped(length));
  backwardShift_.fill(capped(length));
  // Forwards: the distance from the last place of a byte to the literal's end, its last
  // byte left out; backwards: the first place of a byte, its first byte left out.
  for (std::size_t i = 0; i + 1 < length; ++i) {
    forwardShift_[static_cast<unsigned char>(text_[i])] = capped(length - 1 - i);
  }
  for (std::size_t i = length; i-- > 1;) {
    backwardShift_[static_cast<unsigned char>(text_[i])] = capped(i);
  }
}

std::size_t RowScanner::Literal::findIn(std::string_view text, std::size_t from,
                                        std::size_t to) const {
  const std::size_t length = text_.size();
  if (to < from || to - from < length) return std::string_view::npos;
  if (length == 0) return from;
  const char* data = text.data();
  const char last = text_.back();
  for (std::size_t at = from; at <= to - length;) {
    const char byte = data[at + length - 1];
    if (byte == last && std::memcmp(data + at, text_.data(), length - 1) == 0) return at;
    at += forwardShift_[static_cast<unsigned char>(byte)];
  }
  return std::string_view::npos;
}

std::size_t RowScanner::Literal::rfindIn(std::string_view text, std::size_t from,
                                         std::size_t to) const {
  const std::size_t length = text_.size();
  if (to < from || to - from < length) return std::string_view::npos;
  if (length == 0) return to;
  const char* data = text.data();
  const char first = text_.front();
  for (std::size_t at = to - length;;) {
    const char byte = data[at];
    if (byte == first && std::memcmp(data + at + 1, text_.data() + 1, length - 1) == 0) {
      return at;
    }
    const std::size_t shift = backwardShift_[static_cast<unsigned char>(byte)];
    if (at - from < shift) return std::string_view::npos;
    at -= shift;
  }
}

}  // namespace tessivar
