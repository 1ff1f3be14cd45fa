#include "sam/session/exchange.hpp"

#include "sam/session/socket_access.hpp"
#include "sam/wire/reply_text.hpp"

namespace SAM {

namespace {

// The status of a request that could not use `socket`: its own time limit, or no connection.
Message::eStatus unusable(const I2pSocket& socket) {
  return socket.getLastError().code == ErrorCode::TIMED_OUT ? Message::DEADLINE_EXCEEDED
                                                            : Message::SOCKET_NOT_OK;
}

}  // namespace

Exchanged exchanged(const wire::Exchange& exchange, const I2pSocket& connection) {
  if (exchange.need() == wire::Exchange::Need::DONE && !exchange.lineTooLong()) {
    return {exchange.status(), exchange.lines().empty() ? "" : exchange.lines()[0], false};
  }
  // When the whole line went out, the exchange stopped in its reply: the connection's reason
  // then names the request already.
  const bool failedInReply = exchange.output().empty();
  if (connection.getLastError().code == ErrorCode::TIMED_OUT) {
    return {Message::DEADLINE_EXCEEDED, "", failedInReply};
  }
  return {Message::NO_ANSWER, "", failedInReply};
}

Exchanged exchange(I2pSocket& connection, wire::Exchange& request) {
  if (!connection.isOk()) return {unusable(connection), "", false};
  if (request.output().empty()) {
    // A request line that could not be built (a refused argument): the empty write closes the
    // connection, as callers of the static forms rely on.
    connection.write("");
    return {Message::NO_ANSWER, "", false};
  }
  SocketAccess::run(connection, request, connection.getTimeLimits().reply);
  return exchanged(request, connection);
}

Exchanged exchange(I2pSocket& connection, wire::Command command, const std::string& requestLine,
                   bool silent) {
  // With SILENT=true the bridge sends no status line for a stream that comes about: the
  // stream's bytes follow at once, and a failure closes the connection. Reading a reply would
  // take the peer's first line for one, or wait for a "\n" that may never come, so only the
  // write is checked; a stream that failed shows as an empty read.
  wire::Exchange request(command, requestLine, silent ? 0 : 1);
  return exchange(connection, request);
}

bool queryFailureMakesSick(Message::eStatus status) {
  return status == Message::NO_ANSWER || status == Message::SOCKET_NOT_OK;
}

bool streamFailureMakesSick(Message::eStatus status) {
  return queryFailureMakesSick(status) || status == Message::I2P_ERROR ||
         status == Message::INVALID_ID;
}

Message::Answer<const std::string> valueOf(const Exchanged& answer, const std::string& key) {
  if (answer.status != Message::OK) {
    return Message::Answer<const std::string>(answer.status, answer.reply);
  }
  return Message::Answer<const std::string>(Message::OK, Message::getValue(answer.reply, key));
}

Error failureOf(const std::string& command, const Exchanged& answer, const I2pSocket& connection) {
  const Message::eStatus status = answer.status;
  if (status == Message::SOCKET_NOT_OK || status == Message::DEADLINE_EXCEEDED ||
      (status == Message::NO_ANSWER && !connection.getLastError().ok())) {
    Error error = connection.getLastError();
    if (!answer.failedInReply) error.reason = command + ": " + error.reason;
    error.status = status;
    return error;
  }
  return {status == Message::NO_ANSWER ? ErrorCode::PROTOCOL : ErrorCode::REFUSED, status, 0,
          command + " refused by the bridge: " + describeReply(answer.reply)};
}

}  // namespace SAM
