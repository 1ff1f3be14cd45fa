#include <poll.h>
#include <unistd.h>
#include <velqor/datagram_session.hpp>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

#include "sam/net/deadline.hpp"
#include "sam/net/tcp.hpp"
#include "sam/net/udp.hpp"
#include "sam/session/session_access.hpp"
#include "sam/wire/datagram_format.hpp"

namespace SAM {

static_assert(DatagramSession::maxDatagramSize == wire::maxDatagramSize, "");

namespace {

std::string systemText(const std::string& what, int error) {
  return what + ": " + std::strerror(error);
}

}  // namespace

DatagramSession::DatagramSession(const std::string& nickname, const std::string& SAMHost,
                                 uint16_t SAMPort, Message::SessionStyle style,
                                 const std::string& myDestination, const std::string& i2pOptions,
                                 const TimeLimits& limits)
    : Session(nickname, SAMHost, SAMPort, i2pOptions, limits),
      style(style),
      udpSocket(-1),
      udpPort(0),
      bridgeUdpAddress(getSAMAddress()) {
  bridgeUdpAddress.sin_port = htons(static_cast<uint16_t>(getSAMPort() - 1));
  if (style != Message::DATAGRAM && style != Message::RAW) {
    socket.close();
    fallSick();
    recordError(ErrorCode::ARGUMENT,
                "SESSION CREATE: a datagram session takes STYLE=DATAGRAM or RAW, not STREAM");
    return;
  }
  // Without a control connection there is no local address; createSession reports why.
  std::string host;
  if (socket.isOk() && !openUdpSocket(host)) {
    socket.close();
    fallSick();
    return;
  }
  std::string options = "HOST=" + host + " PORT=" + std::to_string(udpPort);
  if (!i2pOptions.empty()) options += " " + i2pOptions;
  this->myDestination = createSession(style, myDestination, options);
}

DatagramSession::DatagramSession(SessionParts& parts)
    : Session(parts),
      style(parts.style),
      udpSocket(parts.udpSocket),
      udpPort(parts.udpPort),
      bridgeUdpAddress(getSAMAddress()) {
  bridgeUdpAddress.sin_port = htons(static_cast<uint16_t>(getSAMPort() - 1));
  parts.udpSocket = -1;
}

DatagramSession::~DatagramSession() { close(); }

int SessionAccess::openUdpSocket(int controlDescriptor, std::string& host, uint16_t& port,
                                 Error& error) {
  // The bridge sends to the address the session names, so it must be one the bridge can reach:
  // the address this host uses for the control connection.
  sockaddr_in local{};
  const net::Outcome found = net::localAddress(controlDescriptor, local);
  if (!found.ok()) {
    error = {ErrorCode::IO, Message::OK, found.error,
             systemText("SESSION CREATE: getsockname", found.error)};
    return -1;
  }
  local.sin_port = 0;
  bool bindFailed = false;
  const int fd = net::openDatagramSocket(local, bindFailed);
  if (fd == -1) {
    const int failure = errno;
    error = {
        ErrorCode::IO, Message::OK, failure,
        systemText(bindFailed ? "SESSION CREATE: bind UDP socket" : "SESSION CREATE: UDP socket",
                   failure)};
    return -1;
  }
  port = ntohs(local.sin_port);
  host = net::addressText(local.sin_addr);
  return fd;
}

bool DatagramSession::openUdpSocket(std::string& host) {
  udpSocket = SessionAccess::openUdpSocket(getControlDescriptor(), host, udpPort, lastError);
  return udpSocket != -1;
}

bool DatagramSession::usable(bool lookAtConnection) {
  // A sick session keeps the reason it fell sick as its last error.
  if (isSick()) return false;
  // The bridge ends the session by closing the control connection; datagrams sent after that
  // would vanish without a sign. receive() watches the connection while it waits.
  if ((lookAtConnection || !socket.isOk()) && !checkAlive()) return false;
  if (udpSocket == -1) {
    fallSick();
    recordError(ErrorCode::CLOSED, "the session's UDP socket is closed");
    return false;
  }
  return true;
}

std::size_t DatagramSession::maxPayloadSize(const std::string& destination) const {
  return wire::maxDatagramPayload(sessionID, destination);
}

RequestResult<void> DatagramSession::send(const std::string& destination,
                                          const std::string& payload) {
  if (!usable(true)) return RequestResult<void>();
  if (!wire::isSendableDestination(destination)) {
    recordError(ErrorCode::ARGUMENT,
                "datagram send: the destination is empty or holds a space, a line break or a "
                "zero byte");
    return RequestResult<void>();
  }
  const std::size_t largest = maxPayloadSize(destination);
  if (payload.size() > largest) {
    recordError(ErrorCode::ARGUMENT, "datagram send: a payload of " +
                                         std::to_string(payload.size()) +
                                         " bytes is over the largest of " +
                                         std::to_string(largest) + " for this destination");
    return RequestResult<void>();
  }
  const std::string datagram = wire::datagramHeader(sessionID, destination) + payload;
  const Deadline deadline(getTimeLimits().write, getTimeLimits().deadline);
  const net::Outcome outcome =
      net::sendDatagram(udpSocket, datagram.data(), datagram.size(), bridgeUdpAddress, deadline);
  if (outcome.ok()) return RequestResult<void>(true);
  if (outcome.kind == net::Outcome::TIMED_OUT) {
    lastError = {ErrorCode::TIMED_OUT, Message::DEADLINE_EXCEEDED, 0,
                 "datagram send: not sent " + deadline.within()};
  } else {
    lastError = {ErrorCode::IO, Message::OK, outcome.error,
                 systemText("datagram send", outcome.error)};
  }
  return RequestResult<void>();
}

RequestResult<Datagram> DatagramSession::receive() {
  if (!usable(false)) return RequestResult<Datagram>();
  const Deadline deadline(getTimeLimits().read, getTimeLimits().deadline);
  // The control connection is watched too: the bridge closing it ends the session, and with
  // it any hope of a datagram.
  pollfd entries[2] = {{udpSocket, POLLIN, 0}, {getControlDescriptor(), POLLIN, 0}};
  // Made once, at the first receive: a session that only sends never needs it.
  std::vector<char>& buffer = receiveBuffer;
  buffer.resize(receiveBufferSize);
  for (;;) {
    if (!deadline.wait(entries, 2)) {
      lastError = {ErrorCode::TIMED_OUT, Message::DEADLINE_EXCEEDED, 0,
                   "datagram receive: nothing came " + deadline.within()};
      return RequestResult<Datagram>();
    }
    // The connection first: once the session is over, a datagram still queued is no use.
    if (entries[1].revents != 0) {
      if (!checkAlive()) return RequestResult<Datagram>();
      // The bridge sent bytes on the control connection, which it never does in a session
      // with HOST and PORT: they stay unread, and only the UDP socket is watched from now on.
      entries[1].fd = -1;
    }
    if (entries[0].revents == 0) continue;

    sockaddr_in from{};
    std::size_t size = 0;
    bool truncated = false;
    const net::Outcome outcome =
        net::receiveDatagram(udpSocket, buffer.data(), buffer.size(), from, size, truncated);
    if (outcome.kind == net::Outcome::AGAIN) continue;
    if (!outcome.ok()) {
      lastError = {ErrorCode::IO, Message::OK, outcome.error,
                   systemText("datagram receive", outcome.error)};
      return RequestResult<Datagram>();
    }
    // Only the bridge speaks to this socket; anything else is dropped unread.
    if (!net::sameAddress(from, bridgeUdpAddress)) continue;
    if (truncated) {
      recordError(ErrorCode::PROTOCOL, "datagram receive: a datagram of " + std::to_string(size) +
                                           " bytes is larger than the receive buffer of " +
                                           std::to_string(buffer.size()) + " bytes; dropped");
      return RequestResult<Datagram>();
    }
    const std::string_view bytes(buffer.data(), size);
    Datagram datagram;
    if (style == Message::RAW) {
      datagram.payload.assign(bytes);
      return RequestResult<Datagram>(datagram);
    }
    std::string_view sender, payload;
    if (!wire::splitRepliableDatagram(bytes, sender, payload)) {
      recordError(ErrorCode::PROTOCOL, "datagram receive: a datagram of " + std::to_string(size) +
                                           " bytes has no sender line; dropped");
      return RequestResult<Datagram>();
    }
    datagram.sender.assign(sender);
    datagram.payload.assign(payload);
    return RequestResult<Datagram>(datagram);
  }
}

void DatagramSession::setBridgeUdpPort(uint16_t port) { bridgeUdpAddress.sin_port = htons(port); }

uint16_t DatagramSession::getBridgeUdpPort() const { return ntohs(bridgeUdpAddress.sin_port); }

int DatagramSession::getUdpDescriptor() const { return udpSocket; }

uint16_t DatagramSession::getUdpPort() const { return udpPort; }

Message::SessionStyle DatagramSession::getStyle() const { return style; }

void DatagramSession::close() {
  socket.close();
  if (udpSocket != -1) {
    ::close(udpSocket);
    udpSocket = -1;
  }
  udpPort = 0;
}

}  // namespace SAM
