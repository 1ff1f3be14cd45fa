// What a transfer on a descriptor came to, in the terms of the transport: the protocol above
// decides what it means. Internal: not part of the public interface.
#ifndef VELQOR_SAM_NET_OUTCOME_HPP
#define VELQOR_SAM_NET_OUTCOME_HPP

namespace SAM {
namespace net {

struct Outcome {
  enum Kind {
    DONE,       // the transfer (or the wait) finished
    AGAIN,      // nothing could move now without blocking: wait for the descriptor
    CLOSED,     // the peer ended the connection
    FAILED,     // a system call failed; `error` is its errno
    TIMED_OUT,  // the deadline passed first
    CANCELLED,  // the owner's cancellation flag was raised
  };

  Kind kind = DONE;
  int error = 0;

  bool ok() const { return kind == DONE; }
  static Outcome failed(int error) { return {FAILED, error}; }
};

}  // namespace net
}  // namespace SAM

#endif  // VELQOR_SAM_NET_OUTCOME_HPP
