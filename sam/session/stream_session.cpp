#include <velqor/stream_session.hpp>

#include "sam/session/exchange.hpp"

namespace SAM {

namespace {

// Stream requests fail without a sick session for replies that speak of the peer or the
// arguments, and for the caller's own time limits; these speak of the connection or the
// session itself.
bool streamFailureMakesSick(Message::eStatus status) {
  return status == Message::NO_ANSWER || status == Message::SOCKET_NOT_OK ||
         status == Message::I2P_ERROR || status == Message::INVALID_ID;
}

}  // namespace

StreamSession::ForwardedStream::ForwardedStream(std::unique_ptr<I2pSocket> socket,
                                                const std::string& host, uint16_t port, bool silent)
    : socket(std::move(socket)), host(host), port(port), silent(silent) {}

StreamSession::StreamSession(const std::string& nickname, const std::string& SAMHost,
                             uint16_t SAMPort, const std::string& myDestination,
                             const std::string& i2pOptions, const std::string& /*signatureType*/)
    : StreamSession(nickname, SAMHost, SAMPort, myDestination, i2pOptions, TimeLimits()) {}

StreamSession::StreamSession(const std::string& nickname, const std::string& SAMHost,
                             uint16_t SAMPort, const std::string& myDestination,
                             const std::string& i2pOptions, const TimeLimits& limits)
    : Session(nickname, SAMHost, SAMPort, i2pOptions, limits) {
  this->myDestination = createStreamSession(myDestination);
  // A key that the bridge did not take is kept, so that a rebuild asks for it again rather
  // than for a new destination; getMyDestination() stays empty, as for any failed creation.
  if (isSick() && myDestination != "TRANSIENT") refusedDestination = myDestination;
}

StreamSession::StreamSession(StreamSession& failed) : Session(failed) {
  // The copied destination stays, whatever the creation returns; a session that never had one
  // asks for the key it was refused, or a new one, and takes what it gets.
  const bool hadOne = !myDestination.priv.empty();
  const std::string asked = hadOne                        ? myDestination.priv
                            : !refusedDestination.empty() ? refusedDestination
                                                          : "TRANSIENT";
  const FullDestination created = createStreamSession(asked);
  if (!hadOne) {
    myDestination = created;
    refusedDestination = isSick() && asked != "TRANSIENT" ? asked : "";
  }
  for (const ForwardedStream& forwarded : failed.forwardedStreams) {
    if (!isSick() && forward(forwarded.host, forwarded.port, forwarded.silent).isOk) continue;
    // Kept without a connection, so that a rebuild of this session makes it again. A rebuilt
    // session without all of its forwards is not the one it replaces: it is sick.
    forwardedStreams.emplace_back(nullptr, forwarded.host, forwarded.port, forwarded.silent);
    fallSick();
  }
}

StreamSession::~StreamSession() { stopForwardingAll(); }

FullDestination StreamSession::createStreamSession(const std::string& destination) {
  return createSession(Message::STREAM, destination, i2pOptions);
}

Message::Answer<const std::string> StreamSession::createStreamSession(
    I2pSocket& socket, const std::string& sessionID, const std::string& nickname,
    const std::string& destination, const std::string& options, const std::string& signatureType) {
  const std::string requestLine = Message::sessionCreate(Message::STREAM, sessionID, nickname,
                                                         destination, options, signatureType);
  return valueOf(exchange(socket, requestLine, "SESSION CREATE"), "DESTINATION");
}

RequestResult<std::unique_ptr<I2pSocket>> StreamSession::streamRequest(
    const char* command, const std::string& requestLine, bool silent) {
  if (requestLine.empty()) {
    recordError(ErrorCode::ARGUMENT,
                std::string(command) + ": an argument holds a line break or a zero byte");
    return {};
  }
  auto connection = std::make_unique<I2pSocket>(socket);
  const Exchanged answer = exchangeStreamRequest(*connection, requestLine, command, silent);
  if (answer.status != Message::OK) {
    if (streamFailureMakesSick(answer.status)) fallSick();
    lastError = failureOf(command, answer, *connection);
    return {};
  }
  return RequestResult<std::unique_ptr<I2pSocket>>(std::move(connection));
}

RequestResult<std::unique_ptr<I2pSocket>> StreamSession::accept(bool silent) {
  return streamRequest("STREAM ACCEPT", Message::streamAccept(sessionID, silent), silent);
}

RequestResult<std::unique_ptr<I2pSocket>> StreamSession::connect(const std::string& destination,
                                                                 bool silent) {
  return streamRequest("STREAM CONNECT", Message::streamConnect(sessionID, destination, silent),
                       silent);
}

RequestResult<void> StreamSession::forward(const std::string& host, uint16_t port, bool silent) {
  RequestResult<std::unique_ptr<I2pSocket>> result =
      streamRequest("STREAM FORWARD", Message::streamForward(sessionID, host, port, silent), false);
  if (!result.isOk) return RequestResult<void>();
  forwardedStreams.emplace_back(std::move(result.value), host, port, silent);
  return RequestResult<void>(true);
}

Message::eStatus StreamSession::accept(I2pSocket& socket, const std::string& sessionID,
                                       bool silent) {
  return exchangeStreamRequest(socket, Message::streamAccept(sessionID, silent), "STREAM ACCEPT",
                               silent)
      .status;
}

Message::eStatus StreamSession::connect(I2pSocket& socket, const std::string& sessionID,
                                        const std::string& destination, bool silent) {
  return exchangeStreamRequest(socket, Message::streamConnect(sessionID, destination, silent),
                               "STREAM CONNECT", silent)
      .status;
}

Message::eStatus StreamSession::forward(I2pSocket& socket, const std::string& sessionID,
                                        const std::string& host, uint16_t port, bool silent) {
  return exchange(socket, Message::streamForward(sessionID, host, port, silent), "STREAM FORWARD")
      .status;
}

void StreamSession::stopForwarding(const std::string& host, uint16_t port) {
  // Destroying an entry closes its connection, which ends that forward at the bridge.
  forwardedStreams.remove_if(
      [&](const ForwardedStream& entry) { return entry.port == port && entry.host == host; });
}

void StreamSession::stopForwardingAll() {
  forwardedStreams.clear();
  socket.close();
}

}  // namespace SAM
