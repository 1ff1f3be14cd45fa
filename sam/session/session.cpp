#include <velqor/session.hpp>

#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <random>

#include "sam/wire/reply_text.hpp"

namespace SAM {

namespace {

const char signatureTypeOfSessions[] = "EdDSA_SHA512_Ed25519";

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

// A lookup or a generation does not name the session, so only a dead connection counts.
bool queryFailureMakesSick(Message::eStatus status) {
  return status == Message::NO_ANSWER || status == Message::SOCKET_NOT_OK;
}

// The status of a request that could not use `socket`: its own time limit, or no connection.
Message::eStatus unusable(const I2pSocket& socket) {
  return socket.getLastError().code == ErrorCode::TIMED_OUT ? Message::DEADLINE_EXCEEDED
                                                            : Message::SOCKET_NOT_OK;
}

// The first two words of a request line ("NAMING LOOKUP"), to name it in reasons.
std::string commandOf(const std::string& requestLine) {
  const std::size_t first = requestLine.find(' ');
  const std::size_t second = first == std::string::npos ? first : requestLine.find(' ', first + 1);
  return requestLine.substr(0, std::min(second, requestLine.find('\n')));
}

// One DEST GENERATE exchange on `socket` with `requestLine`.
Message::Answer<const FullDestination> generateOn(I2pSocket& socket,
                                                  const std::string& requestLine) {
  // A refused argument is not sent: nothing could answer it.
  if (requestLine.empty()) return Message::Answer<const FullDestination>(Message::NO_ANSWER);
  const Message::Answer<const std::string> reply = Session::rawRequest(socket, requestLine);
  if (reply.status == Message::SOCKET_NOT_OK || reply.status == Message::DEADLINE_EXCEEDED) {
    return Message::Answer<const FullDestination>(reply.status);
  }
  // The reply of DEST GENERATE carries no RESULT on some bridges: its keys decide.
  const std::string pub = Message::getValue(reply.value, "PUB");
  const std::string priv = Message::getValue(reply.value, "PRIV");
  if (pub.empty() || priv.empty()) {
    return Message::Answer<const FullDestination>(Message::NO_ANSWER);
  }
  return Message::Answer<const FullDestination>(Message::OK, FullDestination(pub, priv, true));
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

Session::~Session() = default;

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
                                                         options, signatureTypeOfSessions);
  if (requestLine.empty()) {
    socket.close();  // as a refused line always did: there is no session to keep it for
    fallSick();
    recordError(ErrorCode::ARGUMENT,
                "SESSION CREATE: an argument holds a line break or a zero byte");
    return FullDestination();
  }
  const Message::Answer<const std::string> answer = rawRequest(socket, requestLine);
  if (answer.status != Message::OK) {
    fallSick();
    recordFailure("SESSION CREATE", answer.status, answer.value, socket);
    return FullDestination();
  }
  const std::string priv = Message::getValue(answer.value, "DESTINATION");
  return FullDestination(derivePublicDestination(priv), priv, destination == "TRANSIENT");
}

RequestResult<const std::string> Session::namingLookup(const std::string& name) const {
  const std::string requestLine = Message::namingLookup(name);
  if (requestLine.empty()) {
    recordError(ErrorCode::ARGUMENT, "NAMING LOOKUP: the name holds a line break or a zero byte");
    return {};
  }
  I2pSocket connection(socket);
  const Message::Answer<const std::string> answer = rawRequest(connection, requestLine);
  if (answer.status != Message::OK) {
    if (queryFailureMakesSick(answer.status)) fallSick();
    recordFailure("NAMING LOOKUP", answer.status, answer.value, connection);
    return {};
  }
  return RequestResult<const std::string>(Message::getValue(answer.value, "VALUE"));
}

RequestResult<const FullDestination> Session::destGenerate() const {
  I2pSocket connection(socket);
  const Message::Answer<const FullDestination> answer = destGenerate(connection);
  if (answer.status != Message::OK) {
    if (queryFailureMakesSick(answer.status)) fallSick();
    if (answer.status == Message::NO_ANSWER && connection.isOk()) {
      recordError(ErrorCode::PROTOCOL, "DEST GENERATE: the reply holds no PUB and PRIV");
    } else {
      recordFailure("DEST GENERATE", answer.status, "", connection);
    }
    return {};
  }
  return RequestResult<const FullDestination>(answer.value);
}

Message::Answer<const std::string> Session::namingLookup(I2pSocket& socket,
                                                         const std::string& name) {
  return request(socket, Message::namingLookup(name), "VALUE");
}

Message::Answer<const FullDestination> Session::destGenerate(I2pSocket& socket) {
  return generateOn(socket, Message::destGenerate());
}

Message::Answer<const FullDestination> Session::destGenerate(I2pSocket& socket,
                                                             const std::string& signatureType) {
  return generateOn(socket, Message::destGenerate(signatureType));
}

Message::Answer<const std::string> Session::rawRequest(I2pSocket& socket,
                                                       const std::string& requestLine) {
  if (!socket.isOk()) return Message::Answer<const std::string>(unusable(socket));
  socket.write(requestLine);
  const std::string reply = socket.takeLine(commandOf(requestLine), socket.getTimeLimits().reply);
  if (reply.empty() && socket.getLastError().code == ErrorCode::TIMED_OUT) {
    return Message::Answer<const std::string>(Message::DEADLINE_EXCEEDED);
  }
  return Message::Answer<const std::string>(Message::checkAnswer(reply), reply);
}

Message::Answer<const std::string> Session::request(I2pSocket& socket,
                                                    const std::string& requestLine,
                                                    const std::string& keyOfValue) {
  const Message::Answer<const std::string> answer = rawRequest(socket, requestLine);
  if (answer.status != Message::OK) return answer;
  return Message::Answer<const std::string>(Message::OK,
                                            Message::getValue(answer.value, keyOfValue));
}

Message::eStatus Session::request(I2pSocket& socket, const std::string& requestLine) {
  return rawRequest(socket, requestLine).status;
}

bool Session::checkAlive() {
  if (!socket.isOk()) {
    if (!sick) recordError(ErrorCode::CLOSED, "the session's connection to the bridge is closed");
    fallSick();
    return false;
  }
  // POLLRDHUP shows the bridge's end of the connection even behind bytes it sent that are still
  // unread; POLLIN alone would show those bytes and hide the end for good.
  pollfd entry{socket.socket, POLLIN | POLLRDHUP, 0};
  int ready;
  do {
    ready = ::poll(&entry, 1, 0);
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0 || (entry.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) == 0) return true;
  // The end of the connection (the bridge closed it) or a failure (a reset, for example).
  int error = 0;
  socklen_t length = sizeof error;
  if ((entry.revents & (POLLERR | POLLNVAL)) != 0 &&
      ::getsockopt(socket.socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
    error = errno;
  }
  socket.close();
  fallSick();
  lastError = {error == 0 ? ErrorCode::CLOSED : ErrorCode::IO, Message::OK, error,
               error == 0 ? "the bridge closed the session's connection"
                          : std::string("the session's connection to the bridge failed: ") +
                                std::strerror(error)};
  return false;
}

void Session::recordFailure(const std::string& command, Message::eStatus status,
                            const std::string& reply, const I2pSocket& connection) const {
  if (status == Message::SOCKET_NOT_OK || status == Message::DEADLINE_EXCEEDED ||
      (status == Message::NO_ANSWER && !connection.getLastError().ok())) {
    Error error = connection.getLastError();
    if (error.reason.compare(0, command.size(), command) != 0) {
      error.reason = command + ": " + error.reason;
    }
    error.status = status;
    lastError = error;
    return;
  }
  lastError = {status == Message::NO_ANSWER ? ErrorCode::PROTOCOL : ErrorCode::REFUSED, status, 0,
               command + " refused by the bridge: " + describeReply(reply)};
}

void Session::recordError(ErrorCode code, const std::string& reason) const {
  lastError = {code, Message::OK, 0, reason};
}

int Session::controlDescriptor() const { return socket.socket; }

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

const std::string& Session::getSAMMinVer() const { return socket.samMinVer; }

const std::string& Session::getSAMMaxVer() const { return socket.samMaxVer; }

}  // namespace SAM
