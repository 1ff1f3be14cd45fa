#include "http_response_reader.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>
#include <vector>

namespace tessivar {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

char lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

bool equalsIgnoringCase(const std::string& a, const char* b) {
  const std::size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string trimmed(const std::string& text) {
  const char* blanks = " \t";
  const std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// Text from the peer, made safe to print on one line of a terminal.
std::string printable(const std::string& text) {
  const std::size_t maxLength = 200;
  std::string out = text.substr(0, maxLength);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f) c = '?';
  }
  if (text.size() > maxLength) out += "...";
  return out;
}

}  // namespace

HttpResponseReader::HttpResponseReader(BodySink sink) : sink_(std::move(sink)) {}

void HttpResponseReader::feed(const char* data, std::size_t size) {
  if (size > 0) receivedAnything_ = true;
  std::size_t pos = 0;
  while (pos < size && state_ != State::kDone && state_ != State::kFailed) {
    if (state_ == State::kBodyToEnd || state_ == State::kBodyWithLength ||
        state_ == State::kChunkData) {
      pos += takeBody(data + pos, size - pos);
    } else {
      bool complete = false;
      pos += takeLine(data + pos, size - pos, complete);
      if (complete) onLine();
    }
  }
}

void HttpResponseReader::finish() {
  switch (state_) {
    case State::kDone:
    case State::kFailed:
      return;
    case State::kBodyToEnd:
    case State::kTrailerLine:  // the last chunk has come; only trailers were cut short
      state_ = State::kDone;
      return;
    case State::kStatusLine:
      fail(receivedAnything_ ? "HTTP response incomplete head" : "HTTP response empty");
      return;
    case State::kHeaderLine:
      fail("HTTP response incomplete head");
      return;
    default:
      fail("HTTP response incomplete body");
      return;
  }
}

std::size_t HttpResponseReader::takeLine(const char* data, std::size_t size, bool& complete) {
  const void* newline = std::memchr(data, '\n', size);
  const std::size_t used =
      newline == nullptr ? size
                         : static_cast<std::size_t>(static_cast<const char*>(newline) - data) + 1;
  const std::size_t lineBytes = newline == nullptr ? used : used - 1;
  if (line_.size() + lineBytes > kMaxLineLength) {
    fail("HTTP response line too long");
    complete = false;
    return used;
  }
  line_.append(data, lineBytes);
  complete = newline != nullptr;
  if (complete && !line_.empty() && line_.back() == '\r') line_.pop_back();
  return used;
}

std::size_t HttpResponseReader::takeBody(const char* data, std::size_t size) {
  std::size_t n = size;
  if (state_ != State::kBodyToEnd && remaining_ < n) n = static_cast<std::size_t>(remaining_);
  if (state_ != State::kBodyToEnd) {
    remaining_ -= n;
    if (remaining_ == 0) {
      state_ = state_ == State::kBodyWithLength ? State::kDone : State::kChunkDataEnd;
    }
  }
  if (n > 0) sink_(data, n);
  return n;
}

void HttpResponseReader::onLine() {
  switch (state_) {
    case State::kStatusLine:
      onStatusLine();
      break;
    case State::kHeaderLine:
      if (line_.empty()) {
        onEndOfHead();
      } else {
        onHeaderLine();
      }
      break;
    case State::kChunkSizeLine:
      onChunkSizeLine();
      break;
    case State::kChunkDataEnd:
      if (line_.empty()) {
        state_ = State::kChunkSizeLine;
      } else {
        fail("HTTP response bad chunk");
      }
      break;
    case State::kTrailerLine:
      if (line_.empty()) state_ = State::kDone;
      break;
    default:
      break;
  }
  line_.clear();
}

void HttpResponseReader::onStatusLine() {
  // HTTP/1.x SP 3DIGIT [SP reason-phrase]
  const std::string& s = line_;
  const bool wellFormed = s.size() >= 12 && s.compare(0, 7, "HTTP/1.") == 0 && isDigit(s[7]) &&
                          s[8] == ' ' && isDigit(s[9]) && isDigit(s[10]) && isDigit(s[11]) &&
                          (s.size() == 12 || s[12] == ' ');
  if (!wellFormed) {
    fail("HTTP response malformed status line");
    return;
  }
  statusCode_ = (s[9] - '0') * 100 + (s[10] - '0') * 10 + (s[11] - '0');
  if (statusCode_ < 200 || statusCode_ > 299) {
    fail("HTTP status " + printable(s.substr(9)));
    return;
  }
  state_ = State::kHeaderLine;
}

void HttpResponseReader::onHeaderLine() {
  if (line_[0] == ' ' || line_[0] == '\t') return;  // folded continuation of a header
  const std::size_t colon = line_.find(':');
  if (colon == std::string::npos) return;  // not a header; nothing we need
  const std::string name = line_.substr(0, colon);
  const std::string value = trimmed(line_.substr(colon + 1));
  if (equalsIgnoringCase(name, "Content-Length")) {
    const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t length = 0;
    bool valid = !value.empty();
    for (char c : value) {
      if (!isDigit(c) || length > (max - 9) / 10) {
        valid = false;
        break;
      }
      length = length * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (!valid || (hasContentLength_ && length != contentLength_)) {
      fail("HTTP response bad Content-Length");
      return;
    }
    hasContentLength_ = true;
    contentLength_ = length;
  } else if (equalsIgnoringCase(name, "Transfer-Encoding")) {
    if (!transferCodings_.empty()) transferCodings_ += ",";
    transferCodings_ += value;
  }
}

void HttpResponseReader::onEndOfHead() {
  if (statusCode_ == 204) {  // No Content: never a body, whatever the headers say
    state_ = State::kDone;
    return;
  }
  if (!transferCodings_.empty()) {
    // Transfer-Encoding overrides Content-Length. Chunked is the only coding we decode.
    std::vector<std::string> codings;
    std::size_t start = 0;
    for (;;) {
      const std::size_t comma = transferCodings_.find(',', start);
      std::string coding = trimmed(transferCodings_.substr(start, comma - start));
      std::transform(coding.begin(), coding.end(), coding.begin(), lower);
      if (!coding.empty()) codings.push_back(coding);
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
    if (codings.size() != 1 || codings[0] != "chunked") {
      fail("HTTP response unsupported Transfer-Encoding " + printable(transferCodings_));
      return;
    }
    state_ = State::kChunkSizeLine;
  } else if (hasContentLength_) {
    remaining_ = contentLength_;
    state_ = remaining_ == 0 ? State::kDone : State::kBodyWithLength;
  } else {
    state_ = State::kBodyToEnd;
  }
}

void HttpResponseReader::onChunkSizeLine() {
  // chunk-size (hex) [chunk-ext]
  std::uint64_t size = 0;
  std::size_t i = 0;
  for (; i < line_.size() && std::isxdigit(static_cast<unsigned char>(line_[i])); ++i) {
    if (size > (std::numeric_limits<std::uint64_t>::max() >> 4)) {
      fail("HTTP response bad chunk");
      return;
    }
    const char c = lower(line_[i]);
    size = size * 16 + static_cast<std::uint64_t>(isDigit(c) ? c - '0' : c - 'a' + 10);
  }
  const std::size_t afterDigits = line_.find_first_not_of(" \t", i);
  if (i == 0 || (afterDigits != std::string::npos && line_[afterDigits] != ';')) {
    fail("HTTP response bad chunk");
    return;
  }
  if (size == 0) {
    state_ = State::kTrailerLine;
  } else {
    remaining_ = size;
    state_ = State::kChunkData;
  }
}

void HttpResponseReader::fail(const std::string& why) {
  state_ = State::kFailed;
  error_ = why;
}

}  // namespace tessivar
