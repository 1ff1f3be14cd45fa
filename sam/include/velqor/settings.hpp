/// \file
/// Settings that callers may give sessions and sockets. Part of <velqor/sam.hpp>.
#ifndef VELQOR_SETTINGS_HPP
#define VELQOR_SETTINGS_HPP

#include <chrono>

namespace SAM {

/// Time limits, one for each phase of talking to the bridge, and a deadline for all of them.
/// Zero, the default of every limit, and the default deadline mean none: the call waits as long
/// as it takes.
///
/// A limit that passes fails the call and closes the connection involved; the failure shows
/// as ErrorCode::TIMED_OUT in getLastError() and, for a request, as the status
/// Message::DEADLINE_EXCEEDED. Time is measured on the monotonic clock, so changes of the
/// wall clock do not matter; interruptions by signals do not restart a limit.
struct TimeLimits {
  /// The TCP connect of each connection to the bridge (name resolution is not included).
  std::chrono::milliseconds connect{0};
  /// Each reply line of the bridge: HELLO, SESSION CREATE, and every request's status line.
  std::chrono::milliseconds reply{0};
  /// Each read() or readLine() on a socket: the time until its first byte (read) or its whole
  /// line (readLine) has come.
  std::chrono::milliseconds read{0};
  /// Each write() on a socket, request lines included: the time until all of it is sent.
  std::chrono::milliseconds write{0};
  /// A time by which every phase ends, whatever its own limit: a bound for a whole series of
  /// calls, such as everything a program does in one run. The default, the clock's largest time
  /// point, is none.
  std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
};

}  // namespace SAM

#endif  // VELQOR_SETTINGS_HPP
