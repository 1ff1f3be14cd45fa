#include <velqor/stream_session.hpp>

#include "sam/session/exchange.hpp"
#include "sam/session/session_access.hpp"

namespace SAM {

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

StreamSession::StreamSession(SessionParts& parts) : Session(parts) {}

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
  return valueOf(exchange(socket, wire::Command::SESSION_CREATE, requestLine), "DESTINATION");
}

RequestResult<std::unique_ptr<I2pSocket>> SessionAccess::streamRequest(
    StreamSession& session, wire::Command command, const std::string& requestLine, bool silent) {
  const std::string name = wire::nameOf(command);
  if (requestLine.empty()) {
    session.recordError(ErrorCode::ARGUMENT,
                        name + ": an argument holds a line break or a zero byte");
    return {};
  }
  auto connection = std::make_unique<I2pSocket>(session.socket);
  const Exchanged answer = exchange(*connection, command, requestLine, silent);
  if (answer.status != Message::OK) {
    failed(session, failureOf(name, answer, *connection), streamFailureMakesSick(answer.status));
    return {};
  }
  return RequestResult<std::unique_ptr<I2pSocket>>(std::move(connection));
}

RequestResult<std::unique_ptr<I2pSocket>> StreamSession::accept(bool silent) {
  return SessionAccess::streamRequest(*this, wire::Command::STREAM_ACCEPT,
                                      Message::streamAccept(sessionID, silent), silent);
}

RequestResult<std::unique_ptr<I2pSocket>> StreamSession::connect(const std::string& destination,
                                                                 bool silent) {
  return SessionAccess::streamRequest(*this, wire::Command::STREAM_CONNECT,
                                      Message::streamConnect(sessionID, destination, silent),
                                      silent);
}

RequestResult<void> StreamSession::forward(const std::string& host, uint16_t port, bool silent) {
  RequestResult<std::unique_ptr<I2pSocket>> result =
      SessionAccess::streamRequest(*this, wire::Command::STREAM_FORWARD,
                                   Message::streamForward(sessionID, host, port, silent), false);
  if (!result.isOk) return RequestResult<void>();
  forwardedStreams.emplace_back(std::move(result.value), host, port, silent);
  return RequestResult<void>(true);
}

Message::eStatus StreamSession::accept(I2pSocket& socket, const std::string& sessionID,
                                       bool silent) {
  return exchange(socket, wire::Command::STREAM_ACCEPT, Message::streamAccept(sessionID, silent),
                  silent)
      .status;
}

Message::eStatus StreamSession::connect(I2pSocket& socket, const std::string& sessionID,
                                        const std::string& destination, bool silent) {
  return exchange(socket, wire::Command::STREAM_CONNECT,
                  Message::streamConnect(sessionID, destination, silent), silent)
      .status;
}

Message::eStatus StreamSession::forward(I2pSocket& socket, const std::string& sessionID,
                                        const std::string& host, uint16_t port, bool silent) {
  return exchange(socket, wire::Command::STREAM_FORWARD,
                  Message::streamForward(sessionID, host, port, silent))
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
