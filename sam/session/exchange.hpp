// One request line and its reply line on a connection to the bridge, and the reason of a
// failed one. Internal: not part of the public interface.
#ifndef VELQOR_SAM_SESSION_EXCHANGE_HPP
#define VELQOR_SAM_SESSION_EXCHANGE_HPP

#include <velqor/error.hpp>
#include <velqor/i2p_socket.hpp>
#include <velqor/message.hpp>

#include <string>

namespace SAM {

struct Exchanged {
  Message::eStatus status;
  std::string reply;  // the whole reply line, "\n" included; "" when none came
  // The failure happened while reading the reply, so the connection's reason already names the
  // request; otherwise it names the step before (the connect, HELLO, the write).
  bool failedInReply;
};

// Writes `requestLine` and reads one reply line within the reply limit of `connection`, naming
// `phase` in the connection's reason when the reply does not come. SOCKET_NOT_OK without
// sending when `connection` is not usable, DEADLINE_EXCEEDED when a limit of it passed, else the
// reply's status.
Exchanged exchange(I2pSocket& connection, const std::string& requestLine, const std::string& phase);

// With `silent` false, exchange(); with `silent` true the bridge sends no status line, so only
// the write is made: OK once it is sent, NO_ANSWER (or DEADLINE_EXCEEDED) when it failed.
Exchanged exchangeStreamRequest(I2pSocket& connection, const std::string& requestLine,
                                const std::string& phase, bool silent);

// The status of `answer`, and for OK the value of `key` in its reply; the whole reply otherwise.
Message::Answer<const std::string> valueOf(const Exchanged& answer, const std::string& key);

// The first two words of a request line ("NAMING LOOKUP"), to name a request that callers give
// as a whole line in reasons.
std::string commandOf(const std::string& requestLine);

// Why the request `command` failed with `answer`: from the bridge's reply when it sent one that
// was not OK, else from the last error of `connection`.
Error failureOf(const std::string& command, const Exchanged& answer, const I2pSocket& connection);

}  // namespace SAM

#endif  // VELQOR_SAM_SESSION_EXCHANGE_HPP
