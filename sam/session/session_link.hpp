// What a session shares with the operations started on it. Internal: not part of the public
// interface.
#ifndef VELQOR_SAM_SESSION_SESSION_LINK_HPP
#define VELQOR_SAM_SESSION_SESSION_LINK_HPP

#include <velqor/operation.hpp>

#include <deque>

namespace SAM {

class Session;
class StreamSession;

// Kept with the session's control connection and held by every operation started on it, so
// that an operation outlives its session safely.
struct SessionLink {
  Session* session = nullptr;        // null once the session is destroyed
  StreamSession* streams = nullptr;  // the same, when it is a stream session
  // The accepts of the session that have not sent their STREAM ACCEPT yet or whose status line
  // has not come, in the order they were started: only the first may send.
  std::deque<Operation::Core*> accepts;
};

}  // namespace SAM

#endif  // VELQOR_SAM_SESSION_SESSION_LINK_HPP
