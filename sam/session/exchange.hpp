// A request and its reply on a connection to the bridge, run to its end by the blocking calls,
// and the reason of a failed one: what the blocking calls and the operations share. Internal:
// not part of the public interface.
#ifndef VELQOR_SAM_SESSION_EXCHANGE_HPP
#define VELQOR_SAM_SESSION_EXCHANGE_HPP

#include <velqor/error.hpp>
#include <velqor/i2p_socket.hpp>
#include <velqor/message.hpp>

#include <string>

#include "sam/wire/exchange.hpp"

namespace SAM {

struct Exchanged {
  Message::eStatus status;
  std::string reply;  // the first reply line, "\n" included; "" when none came
  // The failure happened while reading the reply, so the connection's reason already names the
  // request; otherwise it names the step before (the connect, HELLO, the write).
  bool failedInReply;
};

// What an exchange that has stopped came to on `connection`: its status when it ran to its end,
// DEADLINE_EXCEEDED when a limit of the connection ended it, else NO_ANSWER.
Exchanged exchanged(const wire::Exchange& exchange, const I2pSocket& connection);

// Runs `request` on the blocking `connection` within its limits: SOCKET_NOT_OK without sending
// when `connection` is not usable; an empty request line (a refused argument) closes the
// connection and gives NO_ANSWER; otherwise exchanged().
Exchanged exchange(I2pSocket& connection, wire::Exchange& request);
// The same for a request line of `command`. With `silent` the bridge sends no status line for a
// stream request, so only the write is made: OK once it is sent.
Exchanged exchange(I2pSocket& connection, wire::Command command, const std::string& requestLine,
                   bool silent = false);

// The status of `answer`, and for OK the value of `key` in its reply; the whole reply otherwise.
Message::Answer<const std::string> valueOf(const Exchanged& answer, const std::string& key);

// Why the request `command` failed with `answer`: from the bridge's reply when it sent one that
// was not OK, else from the last error of `connection`.
Error failureOf(const std::string& command, const Exchanged& answer, const I2pSocket& connection);

// The sick rules of requests: a lookup or a generation does not name the session, so only a dead
// connection counts; a stream request (accept, connect, forward) also falls sick on replies
// that speak of the session itself. The caller's own time limits never make a session sick.
bool queryFailureMakesSick(Message::eStatus status);
bool streamFailureMakesSick(Message::eStatus status);

}  // namespace SAM

#endif  // VELQOR_SAM_SESSION_EXCHANGE_HPP
