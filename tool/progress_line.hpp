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
//     elapsed); showBytes() rewrites it as "text N bytes", show() as "text" and any suffix.
//     finish(), or the destructor, writes the line a last time and ends it with a newline.
// While the line is open nothing else may write to `log`, and other output to the same
// terminal goes between pause() and resume(). Not thread-safe otherwise.
class ProgressLine {
 public:
  ProgressLine(std::ostream& log, bool terminal, std::string text, bool ticking);
  ~ProgressLine() { finish(); }
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // Shows `count` bytes received so far: the first time at once, later at most ten times a
  // second, so a fast stream does not flood the terminal.
  void showBytes(std::uint64_t count);
  // Shows `suffix` after the text, at the same rate; each suffix at least as long as the last.
  void show(const std::string& suffix);
  // Blanks the line, for a line of other output; resume() writes it again.
  void pause();
  void resume();
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
  bool shows_ = false;  // show() has replaced the seconds
  Clock::time_point lastShown_;
  std::string latest_;  // the last suffix asked for, shown or not
  std::thread ticker_;
};

}  // namespace tessivar

#endif  // TESSIVAR_PROGRESS_LINE_HPP
