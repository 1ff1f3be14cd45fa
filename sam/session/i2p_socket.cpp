// One connection to the bridge: the TCP connect, the HELLO exchange, the reads and writes of a
// stream, each on the transport's waits, with every outcome turned into the socket's reason.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <velqor/i2p_socket.hpp>
#include <velqor/message.hpp>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>

#include "sam/net/deadline.hpp"
#include "sam/net/resolve.hpp"
#include "sam/net/tcp.hpp"
#include "sam/session/socket_access.hpp"
#include "sam/wire/line_splitter.hpp"
#include "sam/wire/print_error.hpp"
#include "sam/wire/reply_text.hpp"

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
  int systemError = 0;
  const std::string failure = net::resolveIPv4(SAMHost, servAddr.sin_addr, systemError);
  if (!failure.empty()) {
    servAddr.sin_addr.s_addr = INADDR_NONE;
    SocketAccess::fail(*this, ErrorCode::RESOLVE, systemError,
                       "resolve " + SAMHost + ": " + failure);
    return;
  }
  SocketAccess::connect(*this);
  if (isOk()) SocketAccess::handshake(*this);
}

I2pSocket::I2pSocket(const sockaddr_in& addr) : I2pSocket(addr, TimeLimits()) {}

I2pSocket::I2pSocket(const sockaddr_in& addr, const TimeLimits& limits)
    : samMinVer("3.0"),
      samMaxVer("3.1"),
      socket(-1),
      servAddr(addr),
      SAMPort(ntohs(addr.sin_port)),
      state(std::make_unique<State>(limits)) {
  SocketAccess::connect(*this);
  if (isOk()) SocketAccess::handshake(*this);
}

I2pSocket::I2pSocket(const I2pSocket& other)
    : samMinVer("3.0"),
      samMaxVer("3.1"),
      socket(-1),
      servAddr(other.servAddr),
      SAMPort(ntohs(other.servAddr.sin_port)),
      state(std::make_unique<State>(other.state->limits)) {
  // A host name that did not resolve has no address to copy: the copy fails the same way
  // instead of connecting to the placeholder address.
  if (other.state->lastError.code == ErrorCode::RESOLVE) {
    state->lastError = other.state->lastError;
    return;
  }
  SocketAccess::connect(*this);
  if (isOk()) SocketAccess::handshake(*this);
}

I2pSocket::~I2pSocket() { close(); }

void SocketAccess::connect(I2pSocket& s) {
  I2pSocket::State& state = *s.state;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.cancelled) {
      state.lastError = {ErrorCode::CANCELLED, Message::OK, 0, "connect: cancelled"};
      return;
    }
    // Non-blocking only while connecting, so that the connect has a limit of its own and an
    // interruption does not lose track of it; the descriptor is blocking afterwards.
    s.socket = net::openStreamSocket();
  }
  if (s.socket == -1) {
    fail(s, ErrorCode::IO, errno, std::string("socket: ") + std::strerror(errno));
    return;
  }
  const std::string target = "connect to " + peerName(s);
  const Deadline deadline(state.limits.connect, state.limits.deadline);
  const net::Outcome outcome = net::connect(s.socket, s.servAddr, deadline, state.cancelled);
  switch (outcome.kind) {
    case net::Outcome::DONE:
      ::fcntl(s.socket, F_SETFL, ::fcntl(s.socket, F_GETFL) & ~O_NONBLOCK);
      return;
    case net::Outcome::TIMED_OUT:
      return fail(s, ErrorCode::TIMED_OUT, 0, target + ": no connection " + deadline.within());
    case net::Outcome::CANCELLED:
      return fail(s, ErrorCode::CANCELLED, 0, target + ": cancelled");
    default:
      return fail(s, ErrorCode::CONNECT, outcome.error,
                  target + ": " + std::strerror(outcome.error));
  }
}

void SocketAccess::handshake(I2pSocket& s) {
  s.write(Message::hello(s.samMinVer, s.samMaxVer));
  const std::string answer = takeLine(s, "HELLO", s.state->limits.reply);
  const Message::eStatus status = Message::checkAnswer(answer);
  if (status == Message::OK) {
    s.version = Message::getValue(answer, "VERSION");
  } else if (s.isOk()) {
    // The connection stays open: the bridge answered, it only chose no version.
    s.state->lastError = {ErrorCode::REFUSED, status, 0, "HELLO refused: " + describeReply(answer)};
    print_error("Handshake failed");
  }
}

void SocketAccess::fail(I2pSocket& s, ErrorCode code, int systemError, const std::string& reason) {
  s.close();
  const Message::eStatus status =
      code == ErrorCode::TIMED_OUT ? Message::DEADLINE_EXCEEDED : Message::OK;
  s.state->lastError = {code, status, systemError, reason};
  print_error(reason);
}

std::string SocketAccess::peerName(const I2pSocket& s) {
  if (!s.SAMHost.empty()) return s.SAMHost + ":" + std::to_string(s.SAMPort);
  return net::addressText(s.servAddr.sin_addr) + ":" + std::to_string(ntohs(s.servAddr.sin_port));
}

bool SocketAccess::usable(I2pSocket& s, const char* phase) {
  if (s.isOk()) return true;
  if (s.socket != -1) fail(s, ErrorCode::CANCELLED, 0, std::string(phase) + ": cancelled");
  print_error("The socket is closed");
  return false;
}

void I2pSocket::write(const std::string& msg) {
  if (!SocketAccess::usable(*this, "write")) return;
  if (msg.empty()) {
    // An empty write ends the connection: callers rely on it to close a socket whose request
    // line could not be built.
    close();
    state->lastError = {ErrorCode::ARGUMENT, Message::OK, 0, "write: nothing to send"};
    print_error("I2pSocket was closed");
    return;
  }
  const Deadline deadline(state->limits.write, state->limits.deadline);
  std::size_t sent = 0;
  const net::Outcome outcome =
      net::sendAll(socket, msg.data(), msg.size(), deadline, state->cancelled, sent);
  switch (outcome.kind) {
    case net::Outcome::DONE:
      return;
    case net::Outcome::CANCELLED:
      return SocketAccess::fail(*this, ErrorCode::CANCELLED, 0, "write: cancelled");
    case net::Outcome::TIMED_OUT:
      return SocketAccess::fail(*this, ErrorCode::TIMED_OUT, 0,
                                "write: not sent " + deadline.within());
    default:
      return SocketAccess::fail(*this, ErrorCode::IO, outcome.error,
                                std::string("write: ") + std::strerror(outcome.error));
  }
}

bool SocketAccess::receive(I2pSocket& s, std::string& bytes, const char* phase,
                           const Deadline& deadline) {
  const net::Outcome outcome =
      net::receive(s.socket, bytes, receiveSize, deadline, s.state->cancelled);
  const std::string name(phase);
  switch (outcome.kind) {
    case net::Outcome::DONE:
      return true;
    case net::Outcome::CANCELLED:
      fail(s, ErrorCode::CANCELLED, 0, name + ": cancelled");
      break;
    case net::Outcome::CLOSED:
      fail(s, ErrorCode::CLOSED, 0, name + ": the peer closed the connection");
      break;
    case net::Outcome::TIMED_OUT:
      fail(s, ErrorCode::TIMED_OUT, 0, name + ": nothing came " + deadline.within());
      break;
    default:
      fail(s, ErrorCode::IO, outcome.error, name + ": " + std::strerror(outcome.error));
      break;
  }
  return false;
}

std::string I2pSocket::read() {
  if (!SocketAccess::usable(*this, "read")) return "";
  if (!pending.empty()) {
    std::string kept;
    kept.swap(pending);
    return kept;
  }
  std::string bytes;
  SocketAccess::receive(*this, bytes, "read", Deadline(state->limits.read, state->limits.deadline));
  return bytes;
}

std::string I2pSocket::readLine() {
  return SocketAccess::takeLine(*this, "read", state->limits.read);
}

std::string SocketAccess::takeLine(I2pSocket& s, const std::string& phase,
                                   std::chrono::milliseconds limit) {
  if (!usable(s, phase.c_str())) return "";
  // One deadline for the whole line, however many receives it takes.
  const Deadline deadline(limit, s.state->limits.deadline);
  std::size_t scanFrom = 0;
  std::string line;
  for (;;) {
    switch (LineSplitter::takeLine(s.pending, scanFrom, I2pSocket::maxReplyLength, line)) {
      case LineSplitter::LINE:
        return line;
      case LineSplitter::TOO_LONG:
        fail(
            s, ErrorCode::PROTOCOL, 0,
            phase + ": no line end within " + std::to_string(I2pSocket::maxReplyLength) + " bytes");
        return "";
      case LineSplitter::NEED_MORE:
        break;
    }
    // A line cut off by the end of the connection is no reply: it may be any prefix of one.
    const bool late = deadline.hasPassed();
    if (late || !receive(s, s.pending, phase.c_str(), deadline)) {
      if (late || s.state->lastError.code == ErrorCode::TIMED_OUT) {
        fail(s, ErrorCode::TIMED_OUT, 0, phase + ": no complete line " + deadline.within());
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

int I2pSocket::getDescriptor() const { return socket; }

const std::string& I2pSocket::getHost() const { return SAMHost; }

uint16_t I2pSocket::getPort() const { return SAMPort; }

const std::string& I2pSocket::getVersion() const { return version; }

const sockaddr_in& I2pSocket::getAddress() const { return servAddr; }

}  // namespace SAM
