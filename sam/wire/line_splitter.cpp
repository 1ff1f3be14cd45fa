#include "sam/wire/line_splitter.hpp"

namespace SAM {

LineSplitter::Outcome LineSplitter::takeLine(std::string& buffer, std::size_t& scanFrom,
                                             std::size_t maxLength, std::string& line) {
  const std::size_t newline =
      buffer.find('\n', scanFrom < buffer.size() ? scanFrom : buffer.size());
  if (newline == std::string::npos) {
    if (buffer.size() >= maxLength) return TOO_LONG;
    scanFrom = buffer.size();
    return NEED_MORE;
  }
  if (newline + 1 > maxLength) return TOO_LONG;
  line.assign(buffer, 0, newline + 1);
  buffer.erase(0, newline + 1);
  scanFrom = 0;
  return LINE;
}

}  // namespace SAM
