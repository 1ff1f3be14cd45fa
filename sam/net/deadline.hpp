// The end of a time limit, and waits in poll() that keep to it. Internal: not part of the public
// interface.
#ifndef VELQOR_SAM_NET_DEADLINE_HPP
#define VELQOR_SAM_NET_DEADLINE_HPP

#include <poll.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <string>

namespace SAM {

// The end of one phase on the monotonic clock: its own limit, or the caller's deadline for
// everything (TimeLimits::deadline) when that comes first. Without either it never comes.
class Deadline {
 public:
  using Clock = std::chrono::steady_clock;

  explicit Deadline(std::chrono::milliseconds limit,
                    Clock::time_point until = Clock::time_point::max())
      : limit_(limit) {
    const Clock::time_point byLimit =
        limit.count() > 0 ? Clock::now() + limit : Clock::time_point::max();
    byLimit_ = byLimit <= until;
    at_ = byLimit_ ? byLimit : until;
  }

  bool isSet() const { return at_ != Clock::time_point::max(); }
  bool hasPassed() const { return isSet() && pollTimeout() == 0; }
  // The time left for poll(), rounded up to whole milliseconds so that a wait never ends
  // before the deadline; -1 without a limit, 0 once it has passed.
  int timeLeftMs() const { return pollTimeout(); }
  std::string within() const {
    return byLimit_ ? "within " + std::to_string(limit_.count()) + " ms" : "before the deadline";
  }

  // Waits until one of `entries` is ready, recomputing the time left after every wake-up and
  // every interruption. Returns false when the deadline passed first. An error or a hang-up
  // counts as ready (see each entry's revents): the call that follows reports it.
  bool wait(pollfd* entries, nfds_t count) const {
    for (;;) {
      const int timeout = pollTimeout();
      if (timeout == 0) return false;
      const int ready = ::poll(entries, count, timeout);
      if (ready > 0 || (ready < 0 && errno != EINTR)) return true;
    }
  }

  bool waitFor(int fd, short events) const {
    pollfd entry{fd, events, 0};
    return wait(&entry, 1);
  }

 private:
  // The time left for poll(), rounded up to whole milliseconds so that a wait never ends
  // before the deadline; -1 without a limit, 0 once it has passed.
  int pollTimeout() const {
    if (!isSet()) return -1;
    const auto left = at_ - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
  }

  std::chrono::milliseconds limit_;
  bool byLimit_;
  Clock::time_point at_;
};

}  // namespace SAM

#endif  // VELQOR_SAM_NET_DEADLINE_HPP
