// tessivar --check: probes listed eepsites through one SAM session, many at once, in the
// calling thread.
#ifndef TESSIVAR_SITE_CHECKER_HPP
#define TESSIVAR_SITE_CHECKER_HPP

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "check_target.hpp"

namespace SAM {
class StreamSession;
}

namespace tessivar {

// What one probe found.
struct CheckResult {
  enum class State { kUp, kDown, kNotChecked };
  State state = State::kNotChecked;
  int status = 0;  // the code of the reply's HTTP status line; 0 when none came
  // From the start of the probe's STREAM CONNECT to the first byte of the reply; negative
  // when no byte came.
  std::chrono::milliseconds firstByte{-1};
  std::string cause;  // in a user's words; "" for a site that answered with a status line
};

struct CheckLimits {
  std::size_t jobs = 16;                               // probes under way at once, at least 1
  std::chrono::milliseconds perProbe{0};               // connect, request and status line; 0: none
  std::chrono::steady_clock::time_point runDeadline =  // ends every probe; max: none
      std::chrono::steady_clock::time_point::max();
};

// How a check ended.
enum class CheckEnd { kAll, kRanOutOfTime, kSessionFailed };

using CheckResultSink = std::function<void(std::size_t index, const CheckResult& result)>;
using CheckProgressSink = std::function<void(std::size_t checked, std::size_t up)>;

// Probes every target of `targets`, at most limits.jobs at a time. A probe is a STREAM CONNECT
// (SAM::Operation, not silent) to the target's destination, then "GET / HTTP/1.1" with its
// Host header and "Connection: close" on the stream, read until the status line has come; then
// the stream is closed. GET rather than HEAD: many eepsites answer HEAD wrongly or not at all,
// and only the status line is read, so the body costs at most a receive or two.
//  1. `onResult` gets each target's result in the order of `targets`, as soon as those before
//     it have theirs; `onProgress` the counts after each probe that ends.
//  2. A probe that fails is a result, never an exception. A probe that makes the session sick
//     (the bridge gone) ends the check: the targets not started yet are not checked, and the
//     check ends with kSessionFailed once those under way are done.
//  3. At limits.runDeadline the probes under way end (no reply before the run's limit), the
//     rest are not checked, and the check ends with kRanOutOfTime.
// Everything runs in the calling thread, in poll(), on the session's bridge; every descriptor
// it opens is closed when it returns. The session's time limits are changed for each probe.
// With kSessionFailed, `sessionFailure` (when given) gets the reason of the probe's failure
// that made the session sick.
CheckEnd checkSites(SAM::StreamSession& session, const std::vector<CheckTarget>& targets,
                    const CheckLimits& limits, const CheckResultSink& onResult,
                    const CheckProgressSink& onProgress, std::string* sessionFailure = nullptr);

}  // namespace tessivar

#endif  // TESSIVAR_SITE_CHECKER_HPP
