#include "site_checker.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <velqor/sam.hpp>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>
#include <sstream>
#include <utility>

#include "http_response_reader.hpp"

namespace tessivar {

namespace {

using Clock = std::chrono::steady_clock;

std::string secondsText(std::chrono::milliseconds limit) {
  std::ostringstream text;
  text << std::chrono::duration<double>(limit).count() << " s";
  return text.str();
}

// The text after the last `separator` in `text`, or all of it.
std::string afterLast(const std::string& text, const std::string& separator) {
  const std::size_t at = text.rfind(separator);
  return at == std::string::npos ? text : text.substr(at + separator.size());
}

CheckResult down(std::string cause) {
  CheckResult result;
  result.state = CheckResult::State::kDown;
  result.cause = std::move(cause);
  return result;
}

CheckResult notChecked(std::string cause) {
  CheckResult result;
  result.cause = "not checked: " + std::move(cause);
  return result;
}

const char kRunLimitCause[] = "no reply before the run's time limit ran out";

// One probe under way: first its STREAM CONNECT, then its stream.
struct Probe {
  explicit Probe(std::size_t index) : index(index) {}
  ~Probe() {
    if (fd >= 0) ::close(fd);
  }
  Probe(const Probe&) = delete;
  Probe& operator=(const Probe&) = delete;

  const std::size_t index;
  Clock::time_point start;
  Clock::time_point deadline;                  // its own limit or the run's, whichever comes first
  bool ownLimitFirst = false;                  // its own limit comes first
  std::unique_ptr<SAM::Operation> connecting;  // until the stream is there
  int fd = -1;                                 // the stream, non-blocking
  std::string request;
  std::size_t sent = 0;
  HttpResponseReader reply{[](const char*, std::size_t) {}};  // the body is not wanted
  bool answered = false;                                      // a byte of the reply has come
  std::chrono::milliseconds firstByte{-1};
  std::optional<CheckResult> result;
};

class Checker {
 public:
  Checker(SAM::StreamSession& session, const std::vector<CheckTarget>& targets,
          const CheckLimits& limits, const CheckResultSink& onResult,
          const CheckProgressSink& onProgress)
      : session_(session),
        targets_(targets),
        limits_(limits),
        onResult_(onResult),
        onProgress_(onProgress),
        results_(targets.size()) {}

  CheckEnd run() {
    const std::size_t jobs = std::max<std::size_t>(limits_.jobs, 1);
    for (;;) {
      dropEnded();
      if (active_.empty() && (sessionFailed_ || next_ == targets_.size())) break;
      if (Clock::now() >= limits_.runDeadline) {
        ranOut_ = true;
        for (auto& probe : active_) end(*probe, down(kRunLimitCause));
        dropEnded();
        break;
      }
      while (!sessionFailed_ && active_.size() < jobs && next_ < targets_.size()) {
        if (session_.isSick()) {
          sessionFailed_ = true;
        } else {
          start(next_++);
          dropEnded();  // a probe that failed at once
        }
      }
      if (!active_.empty()) waitAndStep();
    }
    for (; next_ < targets_.size(); ++next_) {
      record(next_, notChecked(sessionFailed_ ? "the SAM session failed"
                                              : "the run's time limit ran out"));
    }
    if (sessionFailed_) return CheckEnd::kSessionFailed;
    return ranOut_ ? CheckEnd::kRanOutOfTime : CheckEnd::kAll;
  }

  const std::string& sessionFailure() const { return sessionFailure_; }

 private:
  void start(std::size_t index) {
    const CheckTarget& target = targets_[index];
    if (target.via == Via::kNone) return finish(index, down("no usable address in the row"));
    auto probe = std::make_unique<Probe>(index);
    probe->start = Clock::now();
    const Clock::time_point own =
        limits_.perProbe.count() > 0 ? probe->start + limits_.perProbe : Clock::time_point::max();
    probe->ownLimitFirst = own <= limits_.runDeadline;
    probe->deadline = std::min(own, limits_.runDeadline);
    probe->request =
        "GET / HTTP/1.1\r\nHost: " + target.hostHeader + "\r\nConnection: close\r\n\r\n";
    // The operation takes the session's limits as they are when it starts.
    SAM::TimeLimits limits;
    limits.deadline = probe->deadline;
    session_.setTimeLimits(limits);
    probe->connecting = SAM::Operation::startConnect(session_, target.destination, false);
    Probe& started = *probe;
    active_.push_back(std::move(probe));
    afterStep(started);
  }

  // Waits until a probe can move on or a limit passes, then moves each one on.
  void waitAndStep() {
    std::vector<pollfd> entries;
    const Clock::time_point now = Clock::now();
    Clock::time_point wake = limits_.runDeadline;
    for (const auto& probe : active_) {
      short events = 0;
      int fd = probe->fd;
      if (probe->connecting) {
        fd = probe->connecting->descriptor();
        const unsigned wait = probe->connecting->events();
        if ((wait & SAM::Operation::WAIT_READ) != 0) events |= POLLIN;
        if ((wait & SAM::Operation::WAIT_WRITE) != 0) events |= POLLOUT;
        const int left = probe->connecting->timeoutMs();
        if (left >= 0) wake = std::min(wake, now + std::chrono::milliseconds(left));
      } else {
        events = probe->sent < probe->request.size() ? POLLOUT : POLLIN;
        wake = std::min(wake, probe->deadline);
      }
      entries.push_back({fd, events, 0});
    }
    int timeout = -1;
    if (wake != Clock::time_point::max()) {
      // Rounded up, so that the wait does not end just before the limit and spin.
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(wake - now).count();
      timeout = static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
    }
    if (::poll(entries.data(), entries.size(), timeout) < 0) {
      for (pollfd& entry : entries) entry.revents = 0;  // a signal: only the limits are seen to
    }
    // Probes that end are removed only after this loop, so entries and probes stay in step.
    for (std::size_t i = 0; i < entries.size(); ++i) {
      Probe& probe = *active_[i];
      if (probe.connecting) {
        if (entries[i].revents != 0 || probe.connecting->timeoutMs() == 0) {
          probe.connecting->step();
          afterStep(probe);
        }
      } else {
        if (entries[i].revents != 0) moveStream(probe);
        if (!probe.result && Clock::now() >= probe.deadline) timedOut(probe);
      }
    }
  }

  // The STREAM CONNECT has moved on: the stream is taken when it is there.
  void afterStep(Probe& probe) {
    const SAM::Operation::Progress progress = probe.connecting->progress();
    if (progress == SAM::Operation::Progress::PENDING) return;
    if (progress == SAM::Operation::Progress::FAILED) {
      const SAM::Error& error = probe.connecting->error();
      if (session_.isSick() && sessionFailure_.empty()) sessionFailure_ = error.reason;
      return end(probe, down(connectCause(probe, error)));
    }
    std::string kept;
    probe.fd = probe.connecting->releaseDescriptor(kept);
    probe.connecting.reset();
    if (probe.fd < 0) return end(probe, down("the SAM bridge gave no stream"));
    if (!kept.empty()) take(probe, kept.data(), kept.size());
    if (!probe.result) moveStream(probe);
  }

  std::string connectCause(const Probe& probe, const SAM::Error& error) {
    if (error.code == SAM::ErrorCode::TIMED_OUT) return timeoutCause(probe);
    switch (error.status) {
      case SAM::Message::INVALID_KEY:
      case SAM::Message::KEY_NOT_FOUND:
        return "address unknown";
      case SAM::Message::CANT_REACH_PEER:
        return "unreachable (no lease set found)";
      case SAM::Message::PEER_NOT_FOUND:
        return "unreachable (peer not found)";
      case SAM::Message::TIMEOUT:
        return "no reply within the router's own limit";
      default:
        break;
    }
    if (error.code == SAM::ErrorCode::REFUSED) {
      return "the router refused the stream: " + afterLast(error.reason, "by the bridge: ");
    }
    return "the SAM bridge failed: " + error.reason;
  }

  std::string timeoutCause(const Probe& probe) {
    if (probe.ownLimitFirst) return "no reply within " + secondsText(limits_.perProbe);
    ranOut_ = true;
    return kRunLimitCause;
  }

  void timedOut(Probe& probe) { end(probe, down(timeoutCause(probe))); }

  // Sends what is left of the request, then reads what has come, without blocking.
  void moveStream(Probe& probe) {
    while (probe.sent < probe.request.size()) {
      const ssize_t n = ::send(probe.fd, probe.request.data() + probe.sent,
                               probe.request.size() - probe.sent, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      // A stream that the peer ended: what it sent before, if anything, is still to be read.
      probe.sent = n < 0 ? probe.request.size() : probe.sent + static_cast<std::size_t>(n);
    }
    char buffer[4096];
    while (!probe.result) {
      const ssize_t n = ::recv(probe.fd, buffer, sizeof buffer, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      if (n <= 0) return endOfStream(probe);  // the end, or a reset: the peer has gone
      take(probe, buffer, static_cast<std::size_t>(n));
    }
  }

  void take(Probe& probe, const char* data, std::size_t size) {
    if (!probe.answered) {
      probe.answered = true;
      probe.firstByte =
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - probe.start);
    }
    probe.reply.feed(data, size);
    if (probe.reply.statusCode() != 0) {
      CheckResult result;
      result.state = CheckResult::State::kUp;
      result.status = probe.reply.statusCode();
      result.firstByte = probe.firstByte;
      end(probe, std::move(result));
    } else if (probe.reply.hasFailed()) {
      notHttp(probe);
    }
  }

  void endOfStream(Probe& probe) {
    if (probe.answered) return notHttp(probe);
    end(probe, down("refused (the stream closed without a reply)"));
  }

  void notHttp(Probe& probe) {
    CheckResult result;
    result.state = CheckResult::State::kUp;
    result.firstByte = probe.firstByte;
    result.cause = "the reply is not HTTP";
    end(probe, std::move(result));
  }

  // Ends `probe` with `result`: its operation is cancelled and its stream closed.
  void end(Probe& probe, CheckResult result) {
    if (probe.result) return;
    probe.connecting.reset();
    if (probe.fd >= 0) ::close(probe.fd);
    probe.fd = -1;
    probe.result = std::move(result);
  }

  void dropEnded() {
    for (auto it = active_.begin(); it != active_.end();) {
      if ((*it)->result) {
        const std::size_t index = (*it)->index;
        CheckResult result = std::move(*(*it)->result);
        it = active_.erase(it);
        finish(index, std::move(result));
      } else {
        ++it;
      }
    }
  }

  // A probe's result is in: counted, and handed on with those after it that wait for it.
  void finish(std::size_t index, CheckResult result) {
    ++checked_;
    if (result.state == CheckResult::State::kUp) ++up_;
    record(index, std::move(result));
    if (onProgress_) onProgress_(checked_, up_);
  }

  void record(std::size_t index, CheckResult result) {
    results_[index] = std::move(result);
    for (; emitted_ < results_.size() && results_[emitted_]; ++emitted_) {
      if (onResult_) onResult_(emitted_, *results_[emitted_]);
      results_[emitted_].reset();
    }
  }

  SAM::StreamSession& session_;
  const std::vector<CheckTarget>& targets_;
  const CheckLimits limits_;
  const CheckResultSink& onResult_;
  const CheckProgressSink& onProgress_;
  std::vector<std::optional<CheckResult>> results_;  // those not handed on yet
  std::size_t emitted_ = 0;
  std::vector<std::unique_ptr<Probe>> active_;
  std::size_t next_ = 0;
  std::size_t checked_ = 0;
  std::size_t up_ = 0;
  bool sessionFailed_ = false;
  bool ranOut_ = false;         // the run's limit ended a probe or left targets unchecked
  std::string sessionFailure_;  // the reason of the failure that made the session sick
};

}  // namespace

CheckEnd checkSites(SAM::StreamSession& session, const std::vector<CheckTarget>& targets,
                    const CheckLimits& limits, const CheckResultSink& onResult,
                    const CheckProgressSink& onProgress, std::string* sessionFailure) {
  Checker checker(session, targets, limits, onResult, onProgress);
  const CheckEnd end = checker.run();
  if (sessionFailure != nullptr) *sessionFailure = checker.sessionFailure();
  return end;
}

}  // namespace tessivar
