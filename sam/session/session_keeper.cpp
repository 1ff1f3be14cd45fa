#include <velqor/session_keeper.hpp>

#include <poll.h>

#include <algorithm>
#include <utility>

namespace SAM {

namespace {

using Clock = std::chrono::steady_clock;

// Whole milliseconds, rounded up, so that a wait never ends before the time it waits for.
std::chrono::milliseconds ceilMilliseconds(Clock::duration duration) {
  return std::chrono::ceil<std::chrono::milliseconds>(duration);
}

}  // namespace

constexpr std::chrono::milliseconds SessionKeeper::firstBackoff;
constexpr std::chrono::milliseconds SessionKeeper::longestBackoff;
constexpr std::chrono::milliseconds SessionKeeper::defaultReleaseDelay;

KeeperClock KeeperClock::monotonic() {
  return {[] { return Clock::now(); },
          [](std::chrono::milliseconds duration) {
            // No descriptors: poll() only waits. A signal ends it early, which the keeper
            // allows for by reading the clock again.
            ::poll(nullptr, 0, static_cast<int>(duration.count()));
          }};
}

struct SessionKeeper::Impl {
  std::unique_ptr<StreamSession> session;
  KeeperClock clock;
  Listener listener;
  std::chrono::milliseconds releaseDelay = defaultReleaseDelay;
  bool seenHealthy = false;
  bool created = false;  // the session was made at the bridge, so the router may hold it
  bool lost = false;
  Clock::time_point nextAttempt{};
  std::chrono::milliseconds nextBackoff = firstBackoff;  // after the next failed attempt
  std::chrono::milliseconds scheduled{0};                // before the next attempt

  void report(State state, const Error& reason) const {
    if (listener) listener(state, reason);
  }

  // One attempt, which replaces the session whatever its outcome: a failed rebuild keeps the
  // destination and the forwards for the next. True when it succeeded.
  bool attempt() {
    session = std::make_unique<StreamSession>(*session);
    if (!session->isSick()) {
      lost = false;
      created = true;
      nextBackoff = firstBackoff;
      scheduled = std::chrono::milliseconds(0);
      report(State::REBUILT, Error());
      return true;
    }
    scheduled = nextBackoff;
    nextBackoff = std::min(nextBackoff * 2, longestBackoff);
    nextAttempt = clock.now() + scheduled;
    report(State::ATTEMPT_FAILED, session->getLastError());
    return false;
  }
};

SessionKeeper::SessionKeeper(std::unique_ptr<StreamSession> session, KeeperClock clock)
    : impl(new Impl{std::move(session), std::move(clock), nullptr}) {
  impl->created = !impl->session->isSick();
}

SessionKeeper::~SessionKeeper() = default;

bool SessionKeeper::keep(std::chrono::milliseconds budget) {
  Impl& k = *impl;
  const Clock::time_point deadline = k.clock.now() + std::max(budget, budget.zero());
  if (!k.lost) {
    if (!k.session->isSick() && k.session->checkAlive()) {
      if (!k.seenHealthy) k.report(State::HEALTHY, Error());
      k.seenHealthy = true;
      return true;
    }
    k.seenHealthy = true;
    k.lost = true;
    // The router may still hold the destination of a session that existed: it is let go
    // before the first attempt, which would otherwise share it unpublished.
    k.session->closeControlConnection();
    k.scheduled = k.created ? k.releaseDelay : std::chrono::milliseconds(0);
    k.nextAttempt = k.clock.now() + k.scheduled;
    k.report(State::REBUILDING, k.session->getLastError());
  }
  for (;;) {
    const Clock::time_point now = k.clock.now();
    if (now >= k.nextAttempt) {
      if (k.attempt()) return true;
      continue;
    }
    if (now >= deadline) return false;
    k.clock.wait(ceilMilliseconds(std::min(k.nextAttempt, deadline) - now));
  }
}

StreamSession& SessionKeeper::session() { return *impl->session; }

const StreamSession& SessionKeeper::session() const { return *impl->session; }

std::chrono::milliseconds SessionKeeper::backoff() const { return impl->scheduled; }

void SessionKeeper::setListener(Listener listener) { impl->listener = std::move(listener); }

void SessionKeeper::setReleaseDelay(std::chrono::milliseconds delay) {
  impl->releaseDelay = std::max(delay, delay.zero());
}

}  // namespace SAM
