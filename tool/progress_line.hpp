// One progress line of tessivar on its log stream.
#ifndef TESSIVAR_PROGRESS_LINE_HPP
#define TESSIVAR_PROGRESS_LINE_HPP

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>

namespace tessivar {

// Shows that a wait is alive.
//  1. Not on a terminal: the constructor writes `text` and a newline, and nothing else is ever
//     written, so logs and scripts see fixed lines.
//  2. On a terminal: the constructor writes `text` without a newline. With `ticking`, a thread
//     of the tool then rewrites the line in place every second as "text N s" (the seconds
//     elapsed); showBytes() rewrites it as "text N bytes". finish(), or the destructor, writes
//     the line a last time and ends it with a newline.
// While the line is open nothing else may write to `log`. Not thread-safe otherwise.
class ProgressLine {
 public:
  ProgressLine(std::ostream& log, bool terminal, std::string text, bool ticking);
  ~ProgressLine() { finish(); }
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // Shows `count` bytes received so far: the first time at once, later at most ten times a
  // second, so a fast stream does not flood the terminal.
  void showBytes(std::uint64_t count);
  void finish();

 private:
  using Clock = std::chrono::steady_clock;
  void write(const std::string& suffix);  // REQUIRES: mutex_ held
  void tick();

  std::ostream& log_;
  const bool terminal_;
  const std::string text_;
  const Clock::time_point start_ = Clock::now();
  std::mutex mutex_;
  std::condition_variable stop_;
  bool finished_ = false;
  std::string suffix_;  // what follows the text on the line now
  bool showsBytes_ = false;
  Clock::time_point lastBytes_;
  std::uint64_t bytes_ = 0;
  std::thread ticker_;
};

}  // namespace tessivar

#endif  // TESSIVAR_PROGRESS_LINE_HPP
