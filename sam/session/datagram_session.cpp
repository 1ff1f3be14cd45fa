#include <velqor/datagram_session.hpp>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

#include "sam/net/deadline.hpp"

namespace SAM {

namespace {

// The shortest public destination: 384 bytes of keys and a 3-byte null certificate, in base64.
constexpr std::size_t shortestDestination = 516;

std::string systemText(const std::string& what, int error) {
  return what + ": " + std::strerror(error);
}

// What the bridge puts before a repliable datagram's payload: a public destination in I2P
// base64. Anything else in front of the first "\n" means the datagram has no sender line.
bool isDestinationText(std::string_view text) {
  if (text.size() < shortestDestination) return false;
  for (const char c : text) {
    const bool base64 = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                        (c >= '0' && c <= '9') || c == '-' || c == '~' || c == '=';
    if (!base64) return false;
  }
  return true;
}

std::string headerOf(const std::string& sessionID, const std::string& destination) {
  // The bridge ignores the first word; it names the protocol version as other clients do.
  return "3.0 " + sessionID + " " + destination + "\n";
}

bool sameAddress(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_family == b.sin_family && a.sin_addr.s_addr == b.sin_addr.s_addr &&
         a.sin_port == b.sin_port;
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

DatagramSession::~DatagramSession() { close(); }

bool DatagramSession::openUdpSocket(std::string& host) {
  // The bridge sends to the address the session names, so it must be one the bridge can reach:
  // the address this host uses for the control connection.
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (::getsockname(controlDescriptor(), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    recordError(ErrorCode::IO, systemText("SESSION CREATE: getsockname", errno));
    return false;
  }
  local.sin_port = 0;
  udpSocket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (udpSocket == -1) {
    recordError(ErrorCode::IO, systemText("SESSION CREATE: UDP socket", errno));
    return false;
  }
  length = sizeof local;
  if (::bind(udpSocket, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
      ::getsockname(udpSocket, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    const int error = errno;
    ::close(udpSocket);
    udpSocket = -1;
    recordError(ErrorCode::IO, systemText("SESSION CREATE: bind UDP socket", error));
    return false;
  }
  udpPort = ntohs(local.sin_port);
  char text[INET_ADDRSTRLEN] = "";
  host = ::inet_ntop(AF_INET, &local.sin_addr, text, sizeof text) != nullptr ? text : "";
  return true;
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
  const std::size_t header = headerOf(sessionID, destination).size();
  return header >= maxDatagramSize ? 0 : maxDatagramSize - header;
}

RequestResult<void> DatagramSession::send(const std::string& destination,
                                          const std::string& payload) {
  if (!usable(true)) return RequestResult<void>();
  if (destination.empty() ||
      destination.find_first_of(std::string_view(" \r\n\0", 4)) != std::string::npos) {
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
  const std::string datagram = headerOf(sessionID, destination) + payload;
  const Deadline deadline(getTimeLimits().write, getTimeLimits().deadline);
  for (;;) {
    const ssize_t n =
        ::sendto(udpSocket, datagram.data(), datagram.size(), MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&bridgeUdpAddress), sizeof bridgeUdpAddress);
    if (n == static_cast<ssize_t>(datagram.size())) return RequestResult<void>(true);
    const int error = n < 0 ? errno : EMSGSIZE;
    if (error == EINTR) continue;
    if (error == EAGAIN || error == EWOULDBLOCK) {
      // The socket's send buffer is full: wait until it takes the datagram.
      if (deadline.waitFor(udpSocket, POLLOUT)) continue;
      lastError = {ErrorCode::TIMED_OUT, Message::DEADLINE_EXCEEDED, 0,
                   "datagram send: not sent " + deadline.within()};
      return RequestResult<void>();
    }
    lastError = {ErrorCode::IO, Message::OK, error, systemText("datagram send", error)};
    return RequestResult<void>();
  }
}

RequestResult<Datagram> DatagramSession::receive() {
  if (!usable(false)) return RequestResult<Datagram>();
  const Deadline deadline(getTimeLimits().read, getTimeLimits().deadline);
  // The control connection is watched too: the bridge closing it ends the session, and with
  // it any hope of a datagram.
  pollfd entries[2] = {{udpSocket, POLLIN, 0}, {controlDescriptor(), POLLIN, 0}};
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
    iovec piece{buffer.data(), buffer.size()};
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &piece;
    message.msg_iovlen = 1;
    // With MSG_TRUNC the size returned is that of the whole datagram, even when it is larger
    // than the buffer.
    const ssize_t n = ::recvmsg(udpSocket, &message, MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0) {
      const int error = errno;
      if (error == EINTR || error == EAGAIN || error == EWOULDBLOCK) continue;
      lastError = {ErrorCode::IO, Message::OK, error, systemText("datagram receive", error)};
      return RequestResult<Datagram>();
    }
    // Only the bridge speaks to this socket; anything else is dropped unread.
    if (message.msg_namelen != sizeof from || !sameAddress(from, bridgeUdpAddress)) continue;
    const std::size_t size = static_cast<std::size_t>(n);
    if ((message.msg_flags & MSG_TRUNC) != 0 || size > buffer.size()) {
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
    const std::size_t end = bytes.find('\n');
    if (end == std::string_view::npos || !isDestinationText(bytes.substr(0, end))) {
      recordError(ErrorCode::PROTOCOL, "datagram receive: a datagram of " + std::to_string(size) +
                                           " bytes has no sender line; dropped");
      return RequestResult<Datagram>();
    }
    datagram.sender.assign(bytes.substr(0, end));
    datagram.payload.assign(bytes.substr(end + 1));
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
