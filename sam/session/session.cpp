#include <sys/random.h>
#include <velqor/session.hpp>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <random>

#include "sam/net/tcp.hpp"
#include "sam/session/exchange.hpp"
#include "sam/session/session_access.hpp"
#include "sam/session/session_link.hpp"
#include "sam/session/socket_access.hpp"
#include "sam/wire/destination_format.hpp"
#include "sam/wire/reply_text.hpp"

namespace SAM {

namespace {

// A uniformly drawn number below `bound`, from the kernel's random source. Drawing from it
// rather than from rand() keeps identifiers distinct across sessions made in the same second
// and across forked processes, and leaves the caller's rand() sequence alone.
uint32_t randomBelow(uint32_t bound) {
  // Draws at or above `limit` would make small numbers likelier; they are drawn again.
  const uint32_t limit = UINT32_MAX - UINT32_MAX % bound;
  for (;;) {
    uint32_t draw;
    ssize_t got;
    do {
      got = getrandom(&draw, sizeof draw, 0);
    } while (got == -1 && errno == EINTR);
    if (got != static_cast<ssize_t>(sizeof draw)) {
      static thread_local std::random_device fallback;
      draw = fallback();
    }
    if (draw < limit) return draw % bound;
  }
}

// One DEST GENERATE exchange on `socket` with `requestLine`.
Exchanged generateOn(I2pSocket& socket, const std::string& requestLine,
                     FullDestination& generated) {
  // A refused argument is not sent: nothing could answer it.
  if (requestLine.empty()) return {Message::NO_ANSWER, "", false};
  const Exchanged reply = exchange(socket, wire::Command::DEST_GENERATE, requestLine);
  if (reply.status == Message::OK) {
    generated = FullDestination(Message::getValue(reply.reply, "PUB"),
                                Message::getValue(reply.reply, "PRIV"), true);
  }
  return reply;
}

Message::Answer<const FullDestination> generationAnswer(I2pSocket& socket,
                                                        const std::string& requestLine) {
  FullDestination generated;
  const Exchanged reply = generateOn(socket, requestLine, generated);
  return reply.status == Message::OK
             ? Message::Answer<const FullDestination>(Message::OK, generated)
             : Message::Answer<const FullDestination>(reply.status);
}

}  // namespace

Session::Session(const std::string& nickname, const std::string& SAMHost, uint16_t SAMPort,
                 const std::string& i2pOptions, const TimeLimits& limits)
    : socket(SAMHost, SAMPort, limits),
      nickname(nickname),
      sessionID(generateSessionID()),
      i2pOptions(i2pOptions),
      sick(false) {}

Session::Session(Session& failed)
    : socket(failed.socket),
      nickname(failed.nickname),
      sessionID(generateSessionID()),
      myDestination(failed.myDestination),
      refusedDestination(failed.refusedDestination),
      i2pOptions(failed.i2pOptions),
      sick(false) {
  failed.fallSick();
  // The bridge holds the destination until the old control connection closes.
  failed.socket.close();
}

Session::Session(SessionParts& parts)
    : socket(SocketAccess::handOver(*parts.control)),
      nickname(parts.nickname),
      sessionID(parts.sessionID),
      myDestination(parts.destination),
      i2pOptions(parts.options),
      sick(false) {}

Session::~Session() {
  // Operations still pending go on without the session.
  if (const std::shared_ptr<SessionLink> link = SocketAccess::existingLink(socket)) {
    link->session = nullptr;
    link->streams = nullptr;
  }
}

std::shared_ptr<SessionLink> SessionAccess::link(Session& session) {
  const std::shared_ptr<SessionLink>& link = SocketAccess::link(session.socket);
  link->session = &session;
  return link;
}

std::shared_ptr<SessionLink> SessionAccess::link(StreamSession& session) {
  std::shared_ptr<SessionLink> link = SessionAccess::link(static_cast<Session&>(session));
  link->streams = &session;
  return link;
}

std::string Session::generateSessionID() {
  static const int minSessionIDLength = 5;
  static const int maxSessionIDLength = 9;  // exclusive
  static const char sessionIDAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";

  const uint32_t length = minSessionIDLength + randomBelow(maxSessionIDLength - minSessionIDLength);
  std::string id;
  id.reserve(length);
  for (uint32_t i = 0; i < length; ++i) {
    id += sessionIDAlphabet[randomBelow(sizeof sessionIDAlphabet - 1)];
  }
  return id;
}

FullDestination Session::createSession(Message::SessionStyle style, const std::string& destination,
                                       const std::string& options) {
  const std::string requestLine = Message::sessionCreate(style, sessionID, nickname, destination,
                                                         options, wire::sessionSignatureType);
  if (requestLine.empty()) {
    socket.close();  // there is no session to keep the connection for
    fallSick();
    recordError(ErrorCode::ARGUMENT,
                "SESSION CREATE: an argument holds a line break or a zero byte");
    return FullDestination();
  }
  const Exchanged answer = exchange(socket, wire::Command::SESSION_CREATE, requestLine);
  if (answer.status != Message::OK) {
    fallSick();
    lastError = failureOf("SESSION CREATE", answer, socket);
    return FullDestination();
  }
  const std::string priv = Message::getValue(answer.reply, "DESTINATION");
  return FullDestination(derivePublicDestination(priv), priv, destination == "TRANSIENT");
}

RequestResult<const std::string> Session::namingLookup(const std::string& name) const {
  const std::string requestLine = Message::namingLookup(name);
  if (requestLine.empty()) {
    recordError(ErrorCode::ARGUMENT, "NAMING LOOKUP: the name holds a line break or a zero byte");
    return {};
  }
  I2pSocket connection(socket);
  const Exchanged answer = exchange(connection, wire::Command::NAMING_LOOKUP, requestLine);
  if (answer.status != Message::OK) {
    if (queryFailureMakesSick(answer.status)) fallSick();
    lastError = failureOf("NAMING LOOKUP", answer, connection);
    return {};
  }
  return RequestResult<const std::string>(Message::getValue(answer.reply, "VALUE"));
}

RequestResult<const FullDestination> Session::destGenerate() const {
  I2pSocket connection(socket);
  FullDestination generated;
  Exchanged answer = generateOn(connection, Message::destGenerate(), generated);
  if (answer.status != Message::OK) {
    if (queryFailureMakesSick(answer.status)) fallSick();
    if (answer.status == Message::NO_ANSWER && connection.isOk()) {
      recordError(ErrorCode::PROTOCOL, "DEST GENERATE: the reply holds no PUB and PRIV");
    } else {
      answer.reply.clear();
      lastError = failureOf("DEST GENERATE", answer, connection);
    }
    return {};
  }
  return RequestResult<const FullDestination>(generated);
}

Message::Answer<const std::string> Session::namingLookup(I2pSocket& socket,
                                                         const std::string& name) {
  return valueOf(exchange(socket, wire::Command::NAMING_LOOKUP, Message::namingLookup(name)),
                 "VALUE");
}

Message::Answer<const FullDestination> Session::destGenerate(I2pSocket& socket) {
  return generationAnswer(socket, Message::destGenerate());
}

Message::Answer<const FullDestination> Session::destGenerate(I2pSocket& socket,
                                                             const std::string& signatureType) {
  return generationAnswer(socket, Message::destGenerate(signatureType));
}

Message::Answer<const std::string> Session::rawRequest(I2pSocket& socket,
                                                       const std::string& requestLine) {
  wire::Exchange request(wire::Command::OTHER, requestLine, 1);
  const Exchanged answer = exchange(socket, request);
  return Message::Answer<const std::string>(answer.status, answer.reply);
}

Message::Answer<const std::string> Session::request(I2pSocket& socket,
                                                    const std::string& requestLine,
                                                    const std::string& keyOfValue) {
  wire::Exchange request(wire::Command::OTHER, requestLine, 1);
  return valueOf(exchange(socket, request), keyOfValue);
}

Message::eStatus Session::request(I2pSocket& socket, const std::string& requestLine) {
  wire::Exchange request(wire::Command::OTHER, requestLine, 1);
  return exchange(socket, request).status;
}

bool Session::checkAlive() {
  if (!socket.isOk()) {
    if (!sick) recordError(ErrorCode::CLOSED, "the session's connection to the bridge is closed");
    fallSick();
    return false;
  }
  // The end of the connection (the bridge closed it) or a failure (a reset, for example).
  const net::Outcome state = net::peerState(socket.getDescriptor());
  if (state.ok()) return true;
  const int error = state.error;
  socket.close();
  fallSick();
  lastError = {error == 0 ? ErrorCode::CLOSED : ErrorCode::IO, Message::OK, error,
               error == 0 ? "the bridge closed the session's connection"
                          : std::string("the session's connection to the bridge failed: ") +
                                std::strerror(error)};
  return false;
}

void Session::recordError(ErrorCode code, const std::string& reason) const {
  lastError = {code, Message::OK, 0, reason};
}

int Session::getControlDescriptor() const { return socket.getDescriptor(); }

void Session::closeControlConnection() {
  socket.close();
  fallSick();
}

void Session::fallSick() const { sick = true; }

bool Session::isSick() const { return sick; }

const Error& Session::getLastError() const { return lastError; }

void Session::setTimeLimits(const TimeLimits& limits) { socket.setTimeLimits(limits); }

const TimeLimits& Session::getTimeLimits() const { return socket.getTimeLimits(); }

const std::string& Session::getNickname() const { return nickname; }

const std::string& Session::getSessionID() const { return sessionID; }

const std::string& Session::getOptions() const { return i2pOptions; }

const FullDestination& Session::getMyDestination() const { return myDestination; }

const sockaddr_in& Session::getSAMAddress() const { return socket.getAddress(); }

const std::string& Session::getSAMHost() const { return socket.getHost(); }

uint16_t Session::getSAMPort() const { return socket.getPort(); }

const std::string& Session::getSAMVersion() const { return socket.getVersion(); }

const std::string& Session::getSAMMinVer() const { return SocketAccess::minVersion(socket); }

const std::string& Session::getSAMMaxVer() const { return SocketAccess::maxVersion(socket); }

}  // namespace SAM
