#include "progress_line.hpp"

namespace tessivar {

ProgressLine::ProgressLine(std::ostream& log, bool terminal, std::string text, bool ticking)
    : log_(log), terminal_(terminal), text_(std::move(text)) {
  if (!terminal_) {
    log_ << text_ << std::endl;
    return;
  }
  log_ << text_ << std::flush;
  if (ticking) ticker_ = std::thread([this] { tick(); });
}

void ProgressLine::tick() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (int seconds = 1;; ++seconds) {
    if (stop_.wait_until(lock, start_ + std::chrono::seconds(seconds),
                         [this] { return finished_; })) {
      return;
    }
    if (!shows_) write(" " + std::to_string(seconds) + " s");
  }
}

void ProgressLine::showBytes(std::uint64_t count) {
  if (terminal_) show(" " + std::to_string(count) + " bytes");
}

void ProgressLine::show(const std::string& suffix) {
  if (!terminal_) return;
  std::lock_guard<std::mutex> lock(mutex_);
  latest_ = suffix;
  const Clock::time_point now = Clock::now();
  if (shows_ && now - lastShown_ < std::chrono::milliseconds(100)) return;
  shows_ = true;
  lastShown_ = now;
  write(suffix);
}

void ProgressLine::pause() {
  if (!terminal_) return;
  std::lock_guard<std::mutex> lock(mutex_);
  log_ << '\r' << std::string(text_.size() + suffix_.size(), ' ') << '\r' << std::flush;
}

void ProgressLine::resume() {
  if (!terminal_) return;
  std::lock_guard<std::mutex> lock(mutex_);
  write(suffix_);
}

void ProgressLine::write(const std::string& suffix) {
  // The texts only grow, so writing over the old one from the line's start leaves nothing of it.
  suffix_ = suffix;
  log_ << '\r' << text_ << suffix_ << std::flush;
}

void ProgressLine::finish() {
  if (!terminal_) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (finished_) return;
    finished_ = true;
    if (shows_) write(latest_);
    log_ << std::endl;
  }
  stop_.notify_all();
  if (ticker_.joinable()) ticker_.join();
}

}  // namespace tessivar
