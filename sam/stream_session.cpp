#include <velqor/stream_session.hpp>

#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <random>

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

// Stream requests fail without a sick session for replies that speak of the peer or the
// arguments; these speak of the connection or the session itself.
bool streamFailureMakesSick(Message::eStatus status) {
  return status == Message::NO_ANSWER || status == Message::SOCKET_NOT_OK ||
         status == Message::I2P_ERROR || status == Message::INVALID_ID;
}

// With SILENT=true the bridge sends no status line for a stream that comes about: the stream's
// bytes follow at once, and a failure closes the connection. Reading a reply would take the
// peer's first line for one, or wait for a "\n" that may never come, so only the write is
// checked; a stream that failed shows as an empty read.
Message::eStatus exchangeStreamRequest(I2pSocket& socket, const std::string& requestLine,
                                       bool silent) {
  if (!silent) return StreamSession::request(socket, requestLine);
  if (!socket.isOk()) return Message::SOCKET_NOT_OK;
  socket.write(requestLine);
  return socket.isOk() ? Message::OK : Message::NO_ANSWER;
}

// A lookup or a generation does not name the session, so only a dead connection counts.
bool queryFailureMakesSick(Message::eStatus status) {
  return status == Message::NO_ANSWER || status == Message::SOCKET_NOT_OK;
}

}  // namespace

StreamSession::ForwardedStream::ForwardedStream(std::unique_ptr<I2pSocket> socket,
                                                const std::string& host, uint16_t port, bool silent)
    : socket(std::move(socket)), host(host), port(port), silent(silent) {}

StreamSession::StreamSession(const std::string& nickname, const std::string& SAMHost,
                             uint16_t SAMPort, const std::string& myDestination,
                             const std::string& i2pOptions, const std::string& /*signatureType*/)
    : socket(SAMHost, SAMPort),
      nickname(nickname),
      sessionID(generateSessionID()),
      i2pOptions(i2pOptions),
      sick(false) {
  this->myDestination = createStreamSession(myDestination);
}

StreamSession::StreamSession(StreamSession& failed)
    : socket(failed.socket),
      nickname(failed.nickname),
      sessionID(generateSessionID()),
      myDestination(failed.myDestination),
      i2pOptions(failed.i2pOptions),
      sick(false) {
  failed.fallSick();
  // The bridge holds the destination until the old control connection closes.
  failed.socket.close();
  createStreamSession(myDestination.priv);
  for (const ForwardedStream& forwarded : failed.forwardedStreams) {
    forward(forwarded.host, forwarded.port, forwarded.silent);
  }
}

StreamSession::~StreamSession() { stopForwardingAll(); }

std::string StreamSession::generateSessionID() {
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

FullDestination StreamSession::createStreamSession(const std::string& destination) {
  const Message::Answer<const std::string> answer = createStreamSession(
      socket, sessionID, nickname, destination, i2pOptions, signatureTypeOfSessions);
  if (answer.status != Message::OK) {
    fallSick();
    return FullDestination();
  }
  return FullDestination(derivePublicDestination(answer.value), answer.value,
                         destination == "TRANSIENT");
}

Message::Answer<const std::string> StreamSession::createStreamSession(
    I2pSocket& socket, const std::string& sessionID, const std::string& nickname,
    const std::string& destination, const std::string& options, const std::string& signatureType) {
  return request(socket,
                 Message::sessionCreate(Message::STREAM, sessionID, nickname, destination, options,
                                        signatureType),
                 "DESTINATION");
}

RequestResult<std::unique_ptr<I2pSocket>> StreamSession::streamRequest(
    const std::string& requestLine, bool silent) {
  if (requestLine.empty()) return {};
  auto connection = std::make_unique<I2pSocket>(socket);
  const Message::eStatus status = exchangeStreamRequest(*connection, requestLine, silent);
  if (status != Message::OK) {
    if (streamFailureMakesSick(status)) fallSick();
    return {};
  }
  return RequestResult<std::unique_ptr<I2pSocket>>(std::move(connection));
}

RequestResult<std::unique_ptr<I2pSocket>> StreamSession::accept(bool silent) {
  return streamRequest(Message::streamAccept(sessionID, silent), silent);
}

RequestResult<std::unique_ptr<I2pSocket>> StreamSession::connect(const std::string& destination,
                                                                 bool silent) {
  return streamRequest(Message::streamConnect(sessionID, destination, silent), silent);
}

RequestResult<void> StreamSession::forward(const std::string& host, uint16_t port, bool silent) {
  RequestResult<std::unique_ptr<I2pSocket>> result =
      streamRequest(Message::streamForward(sessionID, host, port, silent), false);
  if (!result.isOk) return RequestResult<void>();
  forwardedStreams.emplace_back(std::move(result.value), host, port, silent);
  return RequestResult<void>(true);
}

RequestResult<const std::string> StreamSession::namingLookup(const std::string& name) const {
  const std::string requestLine = Message::namingLookup(name);
  if (requestLine.empty()) return {};
  I2pSocket connection(socket);
  const Message::Answer<const std::string> answer = request(connection, requestLine, "VALUE");
  if (answer.status != Message::OK) {
    if (queryFailureMakesSick(answer.status)) fallSick();
    return {};
  }
  return RequestResult<const std::string>(answer.value);
}

RequestResult<const FullDestination> StreamSession::destGenerate() const {
  I2pSocket connection(socket);
  const Message::Answer<const FullDestination> answer = destGenerate(connection);
  if (answer.status != Message::OK) {
    if (queryFailureMakesSick(answer.status)) fallSick();
    return {};
  }
  return RequestResult<const FullDestination>(answer.value);
}

Message::eStatus StreamSession::accept(I2pSocket& socket, const std::string& sessionID,
                                       bool silent) {
  return exchangeStreamRequest(socket, Message::streamAccept(sessionID, silent), silent);
}

Message::eStatus StreamSession::connect(I2pSocket& socket, const std::string& sessionID,
                                        const std::string& destination, bool silent) {
  return exchangeStreamRequest(socket, Message::streamConnect(sessionID, destination, silent),
                               silent);
}

Message::eStatus StreamSession::forward(I2pSocket& socket, const std::string& sessionID,
                                        const std::string& host, uint16_t port, bool silent) {
  return request(socket, Message::streamForward(sessionID, host, port, silent));
}

Message::Answer<const std::string> StreamSession::namingLookup(I2pSocket& socket,
                                                               const std::string& name) {
  return request(socket, Message::namingLookup(name), "VALUE");
}

Message::Answer<const FullDestination> StreamSession::destGenerate(I2pSocket& socket) {
  if (!socket.isOk()) return Message::Answer<const FullDestination>(Message::SOCKET_NOT_OK);
  socket.write(Message::destGenerate());
  const std::string reply = socket.readLine();
  const std::string pub = Message::getValue(reply, "PUB");
  const std::string priv = Message::getValue(reply, "PRIV");
  if (pub.empty() || priv.empty()) {
    return Message::Answer<const FullDestination>(Message::NO_ANSWER);
  }
  return Message::Answer<const FullDestination>(Message::OK, FullDestination(pub, priv, true));
}

Message::Answer<const std::string> StreamSession::rawRequest(I2pSocket& socket,
                                                             const std::string& requestLine) {
  if (!socket.isOk()) return Message::Answer<const std::string>(Message::SOCKET_NOT_OK);
  socket.write(requestLine);
  const std::string reply = socket.readLine();
  return Message::Answer<const std::string>(Message::checkAnswer(reply), reply);
}

Message::Answer<const std::string> StreamSession::request(I2pSocket& socket,
                                                          const std::string& requestLine,
                                                          const std::string& keyOfValue) {
  const Message::Answer<const std::string> answer = rawRequest(socket, requestLine);
  if (answer.status != Message::OK) return answer;
  return Message::Answer<const std::string>(Message::OK,
                                            Message::getValue(answer.value, keyOfValue));
}

Message::eStatus StreamSession::request(I2pSocket& socket, const std::string& requestLine) {
  return rawRequest(socket, requestLine).status;
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

void StreamSession::fallSick() const { sick = true; }

bool StreamSession::isSick() const { return sick; }

const std::string& StreamSession::getNickname() const { return nickname; }

const std::string& StreamSession::getSessionID() const { return sessionID; }

const std::string& StreamSession::getOptions() const { return i2pOptions; }

const FullDestination& StreamSession::getMyDestination() const { return myDestination; }

const sockaddr_in& StreamSession::getSAMAddress() const { return socket.getAddress(); }

const std::string& StreamSession::getSAMHost() const { return socket.getHost(); }

uint16_t StreamSession::getSAMPort() const { return socket.getPort(); }

const std::string& StreamSession::getSAMVersion() const { return socket.getVersion(); }

const std::string& StreamSession::getSAMMinVer() const { return socket.samMinVer; }

const std::string& StreamSession::getSAMMaxVer() const { return socket.samMaxVer; }

}  // namespace SAM
