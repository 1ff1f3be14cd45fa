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

Exchanged exchange(I2pSocket& connection, const std::string& requestLine,
                   const std::string& phase) {
  if (!connection.isOk()) return {unusable(connection), "", false};
  connection.write(requestLine);
  const bool sent = connection.isOk();
  const std::string reply =
      SocketAccess::takeLine(connection, phase, connection.getTimeLimits().reply);
  const bool failedInReply = sent && reply.empty();
  if (reply.empty() && connection.getLastError().code == ErrorCode::TIMED_OUT) {
    return {Message::DEADLINE_EXCEEDED, "", failedInReply};
  }
  return {Message::checkAnswer(reply), reply, failedInReply};
}

Exchanged exchangeStreamRequest(I2pSocket& connection, const std::string& requestLine,
                                const std::string& phase, bool silent) {
  // With SILENT=true the bridge sends no status line for a stream that comes about: the
  // stream's bytes follow at once, and a failure closes the connection. Reading a reply would
  // take the peer's first line for one, or wait for a "\n" that may never come, so only the
  // write is checked; a stream that failed shows as an empty read.
  if (!silent) return exchange(connection, requestLine, phase);
  if (!connection.isOk()) return {Message::SOCKET_NOT_OK, "", false};
  connection.write(requestLine);
  if (connection.isOk()) return {Message::OK, "", false};
  const bool late = connection.getLastError().code == ErrorCode::TIMED_OUT;
  return {late ? Message::DEADLINE_EXCEEDED : Message::NO_ANSWER, "", false};
}

Message::Answer<const std::string> valueOf(const Exchanged& answer, const std::string& key) {
  if (answer.status != Message::OK) {
    return Message::Answer<const std::string>(answer.status, answer.reply);
  }
  return Message::Answer<const std::string>(Message::OK, Message::getValue(answer.reply, key));
}

std::string commandOf(const std::string& requestLine) {
  const std::size_t first = requestLine.find(' ');
  const std::size_t second = first == std::string::npos ? first : requestLine.find(' ', first + 1);
  return requestLine.substr(0, std::min(second, requestLine.find('\n')));
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
