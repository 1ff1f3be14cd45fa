#include <velqor/i2p_socket.hpp>
#include <velqor/message.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>

#include "sam/deadline.hpp"
#include "sam/line_splitter.hpp"
#include "sam/print_error.hpp"
#include "sam/reply_text.hpp"

namespace SAM {

namespace {

constexpr std::size_t receiveSize = 4096;

}  // namespace

struct I2pSocket::State {
  explicit State(const TimeLimits& limits) : limits(limits) {}

  TimeLimits limits;
  Error lastError;
  std::atomic<bool> cancelled{false};
  // Guards the descriptor against cancel(): the owner closes and creates it under the lock,
  // so cancel() never shuts down a descriptor number that was closed and reused meanwhile.
  std::mutex mutex;
};

I2pSocket::I2pSocket(const std::string& SAMHost, uint16_t SAMPort)
    : I2pSocket(SAMHost, SAMPort, TimeLimits()) {}

I2pSocket::I2pSocket(const std::string& SAMHost, uint16_t SAMPort, const TimeLimits& limits)
    : samMinVer("3.0"),
      samMaxVer("3.1"),
      socket(-1),
      SAMHost(SAMHost),
      SAMPort(SAMPort),
      state(std::make_unique<State>(limits)) {
  std::memset(&servAddr, 0, sizeof servAddr);
  servAddr.sin_family = AF_INET;
  servAddr.sin_port = htons(SAMPort);
  // Numeric IPv4 in every form inet_addr() takes; anything else is a host name.
  if (inet_aton(SAMHost.c_str(), &servAddr.sin_addr) == 0) {
    servAddr.sin_addr.s_addr = INADDR_NONE;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int result = ::getaddrinfo(SAMHost.c_str(), nullptr, &hints, &found);
    if (result != 0 || found == nullptr) {
      const bool system = result == EAI_SYSTEM;
      fail(ErrorCode::RESOLVE, system ? errno : 0,
           "resolve " + SAMHost + ": " + (system ? std::strerror(errno) : gai_strerror(result)));
      return;
    }
    servAddr.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    ::freeaddrinfo(found);
  }
  bootstrapI2P();
}

I2pSocket::I2pSocket(const sockaddr_in& addr) : I2pSocket(addr, TimeLimits()) {}

I2pSocket::I2pSocket(const sockaddr_in& addr, const TimeLimits& limits)
    : samMinVer("3.0"),
      samMaxVer("3.1"),
      socket(-1),
      servAddr(addr),
      SAMPort(ntohs(addr.sin_port)),
      state(std::make_unique<State>(limits)) {
  bootstrapI2P();
}

I2pSocket::I2pSocket(const I2pSocket& other)
    : samMinVer("3.0"),
      samMaxVer("3.1"),
      socket(-1),
      servAddr(other.servAddr),
      SAMHost(other.SAMHost),
      SAMPort(ntohs(other.servAddr.sin_port)),
      state(std::make_unique<State>(other.state->limits)) {
  // A host name that did not resolve has no address to copy: the copy fails the same way
  // instead of connecting to the placeholder address.
  if (other.state->lastError.code == ErrorCode::RESOLVE) {
    state->lastError = other.state->lastError;
    return;
  }
  bootstrapI2P();
}

I2pSocket::~I2pSocket() { close(); }

void I2pSocket::bootstrapI2P() {
  init();
  if (isOk()) handshake();
}

void I2pSocket::init() {
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (state->cancelled) {
      state->lastError = {ErrorCode::CANCELLED, Message::OK, 0, "connect: cancelled"};
      return;
    }
    // Non-blocking only while connecting, so that the connect has a limit of its own and an
    // interruption does not lose track of it; the descriptor is blocking afterwards.
    socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  }
  if (socket == -1) {
    fail(ErrorCode::IO, errno, std::string("socket: ") + std::strerror(errno));
    return;
  }
  const std::string target = "connect to " + peerName();
  int result = ::connect(socket, reinterpret_cast<const sockaddr*>(&servAddr), sizeof servAddr);
  if (result == -1 && (errno == EINPROGRESS || errno == EINTR)) {
    const Deadline deadline(state->limits.connect, state->limits.deadline);
    if (!deadline.waitFor(socket, POLLOUT)) {
      fail(ErrorCode::TIMED_OUT, 0, target + ": no connection " + deadline.within());
      return;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    result = error == 0 ? 0 : -1;
    errno = error;
  }
  if (state->cancelled) {
    fail(ErrorCode::CANCELLED, 0, target + ": cancelled");
  } else if (result == -1) {
    fail(ErrorCode::CONNECT, errno, target + ": " + std::strerror(errno));
  } else {
    ::fcntl(socket, F_SETFL, ::fcntl(socket, F_GETFL) & ~O_NONBLOCK);
  }
}

void I2pSocket::handshake() {
  write(Message::hello(samMinVer, samMaxVer));
  const std::string answer = takeLine("HELLO", state->limits.reply);
  const Message::eStatus status = Message::checkAnswer(answer);
  if (status == Message::OK) {
    version = Message::getValue(answer, "VERSION");
  } else if (isOk()) {
    // The connection stays open: the bridge answered, it only chose no version.
    state->lastError = {ErrorCode::REFUSED, status, 0, "HELLO refused: " + describeReply(answer)};
    print_error("Handshake failed");
  }
}

void I2pSocket::fail(ErrorCode code, int systemError, const std::string& reason) {
  close();
  const Message::eStatus status =
      code == ErrorCode::TIMED_OUT ? Message::DEADLINE_EXCEEDED : Message::OK;
  state->lastError = {code, status, systemError, reason};
  print_error(reason);
}

std::string I2pSocket::peerName() const {
  if (!SAMHost.empty()) return SAMHost + ":" + std::to_string(SAMPort);
  char text[INET_ADDRSTRLEN] = "?";
  ::inet_ntop(AF_INET, &servAddr.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(servAddr.sin_port));
}

bool I2pSocket::usable(const char* phase) {
  if (isOk()) return true;
  if (socket != -1) fail(ErrorCode::CANCELLED, 0, std::string(phase) + ": cancelled");
  print_error("The socket is closed");
  return false;
}

void I2pSocket::write(const std::string& msg) {
  if (!usable("write")) return;
  if (msg.empty()) {
    // An empty write ends the connection: callers rely on it to close a socket whose request
    // line could not be built.
    close();
    state->lastError = {ErrorCode::ARGUMENT, Message::OK, 0, "write: nothing to send"};
    print_error("I2pSocket was closed");
    return;
  }
  const Deadline deadline(state->limits.write, state->limits.deadline);
  // Without a limit the send blocks as long as it takes; with one it never blocks, and the
  // waits happen in poll().
  const int flags = MSG_NOSIGNAL | (deadline.isSet() ? MSG_DONTWAIT : 0);
  std::size_t sent = 0;
  while (sent < msg.size()) {
    const ssize_t n = ::send(socket, msg.data() + sent, msg.size() - sent, flags);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    const int error = errno;
    if (state->cancelled) return fail(ErrorCode::CANCELLED, 0, "write: cancelled");
    if (n == -1 && error == EINTR) continue;
    if (n == -1 && (error == EAGAIN || error == EWOULDBLOCK) && deadline.isSet()) {
      if (deadline.waitFor(socket, POLLOUT)) continue;
      return fail(ErrorCode::TIMED_OUT, 0, "write: not sent " + deadline.within());
    }
    // MSG_NOSIGNAL: a reset peer gives EPIPE here instead of killing the process.
    return fail(ErrorCode::IO, error, std::string("write: ") + std::strerror(error));
  }
}

bool I2pSocket::receive(std::string& bytes, const char* phase, const Deadline& deadline) {
  // Without a limit the receive blocks as long as it takes; with one it never blocks, and the
  // waits happen in poll().
  const int flags = deadline.isSet() ? MSG_DONTWAIT : 0;
  char buffer[receiveSize];
  for (;;) {
    const ssize_t n = ::recv(socket, buffer, sizeof buffer, flags);
    if (n > 0) {
      bytes.append(buffer, static_cast<std::size_t>(n));
      return true;
    }
    const int error = errno;
    if (state->cancelled) {
      fail(ErrorCode::CANCELLED, 0, std::string(phase) + ": cancelled");
    } else if (n == 0) {
      fail(ErrorCode::CLOSED, 0, std::string(phase) + ": the peer closed the connection");
    } else if (error == EINTR) {
      continue;
    } else if ((error == EAGAIN || error == EWOULDBLOCK) && deadline.isSet()) {
      if (deadline.waitFor(socket, POLLIN)) continue;
      fail(ErrorCode::TIMED_OUT, 0, std::string(phase) + ": nothing came " + deadline.within());
    } else {
      fail(ErrorCode::IO, error, std::string(phase) + ": " + std::strerror(error));
    }
    return false;
  }
}

std::string I2pSocket::read() {
  if (!usable("read")) return "";
  if (!pending.empty()) {
    std::string kept;
    kept.swap(pending);
    return kept;
  }
  std::string bytes;
  receive(bytes, "read", Deadline(state->limits.read, state->limits.deadline));
  return bytes;
}

std::string I2pSocket::readLine() { return takeLine("read", state->limits.read); }

std::string I2pSocket::takeLine(const std::string& phase, std::chrono::milliseconds limit) {
  if (!usable(phase.c_str())) return "";
  // One deadline for the whole line, however many receives it takes.
  const Deadline deadline(limit, state->limits.deadline);
  std::size_t scanFrom = 0;
  std::string line;
  for (;;) {
    switch (LineSplitter::takeLine(pending, scanFrom, maxReplyLength, line)) {
      case LineSplitter::LINE:
        return line;
      case LineSplitter::TOO_LONG:
        fail(ErrorCode::PROTOCOL, 0,
             phase + ": no line end within " + std::to_string(maxReplyLength) + " bytes");
        return "";
      case LineSplitter::NEED_MORE:
        break;
    }
    // A line cut off by the end of the connection is no reply: it may be any prefix of one.
    const bool late = deadline.hasPassed();
    if (late || !receive(pending, phase.c_str(), deadline)) {
      if (late || state->lastError.code == ErrorCode::TIMED_OUT) {
        fail(ErrorCode::TIMED_OUT, 0, phase + ": no complete line " + deadline.within());
      }
      return "";
    }
  }
}

void I2pSocket::cancel() {
  std::lock_guard<std::mutex> lock(state->mutex);
  state->cancelled = true;
  // Shutting the connection down wakes a call blocked in connect, poll, send or recv.
  if (socket != -1) ::shutdown(socket, SHUT_RDWR);
}

void I2pSocket::close() {
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (socket != -1) {
      ::close(socket);
      socket = -1;
    }
  }
  pending.clear();
}

int I2pSocket::release() {
  std::string dropped;
  return release(dropped);
}

int I2pSocket::release(std::string& keptBytes) {
  std::lock_guard<std::mutex> lock(state->mutex);
  const int handle = socket;
  socket = -1;
  keptBytes.clear();
  keptBytes.swap(pending);
  return handle;
}

void I2pSocket::setTimeLimits(const TimeLimits& limits) { state->limits = limits; }

const TimeLimits& I2pSocket::getTimeLimits() const { return state->limits; }

const Error& I2pSocket::getLastError() const { return state->lastError; }

bool I2pSocket::isOk() const { return socket != -1 && !state->cancelled; }

const std::string& I2pSocket::getHost() const { return SAMHost; }

uint16_t I2pSocket::getPort() const { return SAMPort; }

const std::string& I2pSocket::getVersion() const { return version; }

const sockaddr_in& I2pSocket::getAddress() const { return servAddr; }

}  // namespace SAM
