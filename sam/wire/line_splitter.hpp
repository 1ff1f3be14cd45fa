// Splitting received bytes into reply lines, apart from any socket I/O.
// Internal: not part of the public interface.
#ifndef VELQOR_SAM_WIRE_LINE_SPLITTER_HPP
#define VELQOR_SAM_WIRE_LINE_SPLITTER_HPP

#include <cstddef>
#include <string>

namespace SAM {

class LineSplitter {
 public:
  LineSplitter() = delete;

  enum Outcome {
    LINE,       // a whole line was taken
    NEED_MORE,  // no "\n" yet; receive more and call again
    TOO_LONG,   // no line of at most maxLength bytes ("\n" included) can be taken
  };

  // Takes the first line, "\n" included, from the front of `buffer` into `line`.
  //  1. `scanFrom` says how many leading bytes are known to hold no "\n"; the search starts
  //     there, so repeated calls on a growing buffer cost time linear in its length. It is
  //     updated on NEED_MORE and reset to 0 on LINE.
  //  2. On LINE the bytes after the "\n" stay in `buffer`.
  //  3. On NEED_MORE and TOO_LONG, `buffer` and `line` are not changed.
  static Outcome takeLine(std::string& buffer, std::size_t& scanFrom, std::size_t maxLength,
                          std::string& line);
};

}  // namespace SAM

#endif  // VELQOR_SAM_WIRE_LINE_SPLITTER_HPP
