// Reads a file line by line through a buffer of fixed size.
#ifndef TESSIVAR_FILE_LINE_READER_HPP
#define TESSIVAR_FILE_LINE_READER_HPP

#include <cstddef>
#include <string>
#include <vector>

namespace tessivar {

// Lines end at "\n", which is not part of the line; a "\r" before it is kept. A last line
// without "\n" is still a line, and a file that ends in "\n" has no empty line after it (as
// std::getline splits). Memory: the buffer plus the longest line.
//
// Not thread-safe. Does not own the descriptor.
class FileLineReader {
 public:
  static constexpr std::size_t kBufferSize = 64 * 1024;

  // Reads from the current position of `fd`.
  explicit FileLineReader(int fd);

  // Sets `line` to the next line and returns true; returns false at the end of the file or
  // on a read error (failed() tells which).
  bool next(std::string& line);
  bool failed() const { return failed_; }

 private:
  bool refill();

  int fd_;
  std::vector<char> buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  bool atEnd_ = false;
  bool failed_ = false;
};

}  // namespace tessivar

#endif  // TESSIVAR_FILE_LINE_READER_HPP
