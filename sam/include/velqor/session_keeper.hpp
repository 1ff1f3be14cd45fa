/// \file
/// Keeping a stream session alive across router restarts. Part of <velqor/sam.hpp>.
#ifndef VELQOR_SESSION_KEEPER_HPP
#define VELQOR_SESSION_KEEPER_HPP

#include <velqor/export.h>
#include <velqor/error.hpp>
#include <velqor/stream_session.hpp>

#include <chrono>
#include <functional>
#include <memory>

namespace SAM {

/// Where a SessionKeeper reads the time and how it waits. The default is the monotonic clock
/// and poll() with no descriptors; tests give their own to drive the back-off without sleeping.
struct KeeperClock {
  /// The time now. Must never go backwards.
  std::function<std::chrono::steady_clock::time_point()> now;
  /// Waits `duration` at most, and may return earlier: the keeper reads now() again after it
  /// and waits again for what is left, so time must pass across waits.
  std::function<void(std::chrono::milliseconds duration)> wait;

  /// steady_clock::now() and poll(nullptr, 0, milliseconds).
  VELQOR_EXPORT static KeeperClock monotonic();
};

/// Holds a StreamSession and rebuilds it when it is lost: a router that restarted, a machine
/// that slept, a session ended at the bridge.
///
/// keep() checks the session (isSick(), then checkAlive(), which sends nothing) and, when it is
/// lost, closes its control connection and rebuilds it with StreamSession(StreamSession&): a
/// fresh identifier, the same destination, nickname, options, time limits and forwards.
///  1. The first attempt after a loss comes after the release delay (10 s unless set) when the
///     lost session had been made at the bridge, else at once. A router that still holds the
///     destination gives it to the new session at once but, on i2pd 2.45.1, no longer
///     publishes its lease set: peers that did not know it already cannot reach it. That
///     router lets a destination go 5 s after its last session closed.
///  2. A failed attempt is followed by a wait before the next: 1 s, then twice as long after
///     each further failure, at most 5 minutes; a success starts the sequence again at 1 s.
///     (An attempt whose creation succeeded but whose forward failed is followed by this
///     back-off too, not by the release delay.)
///
/// Time. The budget of keep() bounds the waiting between attempts, never an attempt itself: an
/// attempt (connecting, the handshake, SESSION CREATE, the forwards) is bounded by the
/// session's own TimeLimits, and without them it waits as long as the bridge takes. Give the
/// session connect and reply limits so that a router that takes the connection but never
/// answers cannot hold keep(). (SESSION CREATE on i2pd takes about 20 s for a destination it
/// does not hold; a reply limit of a minute or more fits.)
///
/// The keeper starts no threads and uses no signals; it waits only through its KeeperClock.
/// Not safe for concurrent use: keep(), session() and the session itself belong to one thread
/// at a time.
class VELQOR_EXPORT SessionKeeper {
 public:
  /// What the listener is told, each time the keeper's view of the session changes.
  enum class State {
    HEALTHY = 0,         ///< the first keep() found the session healthy
    REBUILDING = 1,      ///< the session was found lost; the reason is why
    ATTEMPT_FAILED = 2,  ///< an attempt to rebuild failed; the reason is why
    REBUILT = 3,         ///< an attempt succeeded: the session is healthy again
  };
  /// Called during keep() with the new state and its reason (code NONE for HEALTHY and
  /// REBUILT). It may read session() and backoff(); it must not call keep() or destroy the
  /// keeper.
  using Listener = std::function<void(State state, const Error& reason)>;

  /// The wait after the first failed attempt; each further failure doubles it.
  static constexpr std::chrono::milliseconds firstBackoff{1000};
  /// The longest wait between two attempts.
  static constexpr std::chrono::milliseconds longestBackoff{300000};
  /// The release delay unless setReleaseDelay() changes it.
  static constexpr std::chrono::milliseconds defaultReleaseDelay{10000};

  /// Takes `session` over. REQUIRES: `session` is not null. A session that is already sick
  /// (its creation failed: the router was down when the program started) is rebuilt by the
  /// first keep().
  explicit SessionKeeper(std::unique_ptr<StreamSession> session,
                         KeeperClock clock = KeeperClock::monotonic());
  ~SessionKeeper();
  SessionKeeper(const SessionKeeper&) = delete;
  SessionKeeper& operator=(const SessionKeeper&) = delete;

  /// Returns true when the session is healthy: found so, or rebuilt during this call. While it
  /// is lost, attempts to rebuild it as each one falls due, waiting between them while
  /// `budget` lasts, and returns false once the next attempt would come after `budget`; the
  /// time left is waited out, so that a loop around keep() does not spin. With a `budget` of
  /// zero it never waits: it makes the attempt that is due, if any, and returns.
  bool keep(std::chrono::milliseconds budget);

  /// The session kept. CAVEAT: each attempt to rebuild replaces it with a new object, so a
  /// reference taken before keep() may dangle after it: take it again after each keep().
  /// Streams handed out by accept() and connect() belong to their callers and stay valid.
  StreamSession& session();
  /// As above, for reading.
  const StreamSession& session() const;

  /// The wait scheduled before the next attempt, from the loss or the last failed attempt:
  /// the release delay or zero after a loss, then 1 s, 2 s, 4 s, ... 300 s; zero while the
  /// session is healthy. The listener reads it for REBUILDING and ATTEMPT_FAILED.
  std::chrono::milliseconds backoff() const;

  /// Replaces the listener; an empty one reports nothing.
  void setListener(Listener listener);
  /// Sets the wait between the loss of a session made at the bridge and the first attempt (see
  /// 1. above); zero makes the first attempt at once. Negative counts as zero.
  void setReleaseDelay(std::chrono::milliseconds delay);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl;
};

}  // namespace SAM

#endif  // VELQOR_SESSION_KEEPER_HPP
