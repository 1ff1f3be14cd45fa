#include "file_line_reader.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tessivar {

FileLineReader::FileLineReader(int fd) : fd_(fd), buffer_(kBufferSize) {}

bool FileLineReader::next(std::string& line) {
  line.clear();
  bool any = false;
  for (;;) {
    if (begin_ == end_ && !refill()) return any && !failed_;
    any = true;
    const char* start = buffer_.data() + begin_;
    const std::size_t available = end_ - begin_;
    const void* newline = std::memchr(start, '\n', available);
    if (newline != nullptr) {
      const std::size_t length =
          static_cast<std::size_t>(static_cast<const char*>(newline) - start);
      line.append(start, length);
      begin_ += length + 1;
      return true;
    }
    line.append(start, available);
    begin_ = end_;
  }
}

bool FileLineReader::refill() {
  if (atEnd_ || failed_) return false;
  for (;;) {
    const ssize_t n = ::read(fd_, buffer_.data(), buffer_.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) failed_ = true;
    if (n <= 0) {
      atEnd_ = true;
      return false;
    }
    begin_ = 0;
    end_ = static_cast<std::size_t>(n);
    return true;
  }
}

}  // namespace tessivar
