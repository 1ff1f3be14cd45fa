// One connection to the bridge: the TCP connect, the HELLO exchange, the reads and writes of a
// stream, each on the transport's waits, with every outcome turned into the socket's reason.
// The exchanges with the bridge are the wire room's; this file only drives them, blocking or
// step by step.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
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
#include "sam/session/session_link.hpp"
#include "sam/session/socket_access.hpp"
#include "sam/wire/exchange.hpp"
#include "sam/wire/print_error.hpp"
#include "sam/wire/reply_text.hpp"

namespace SAM {

namespace {

constexpr std::size_t receiveSize = 4096;

std::string systemText(int error) { return std::strerror(error); }

}  // namespace

struct I2pSocket::State {
  explicit State(const TimeLimits& limits) : limits(limits) {}

  TimeLimits limits;
  Error lastError;
  std::atomic<bool> cancelled{false};
  // Guards the descriptor against cancel() and against the other direction: it is created,
  // shut down and closed under the lock, so that no thread ever uses a descriptor number that
  // was closed and reused meanwhile.
  std::mutex mutex;
  int calls = 0;        // reads and writes in progress
  int deferredFd = -1;  // the descriptor of a failed connection, closed when the last call ends
  std::shared_ptr<SessionLink> link;  // for the control connection of a session
};

namespace {

// Marks a read or a write in progress, for the full duplex: a connection that fails meanwhile
// is shut down at once and closed only when the last call has ended.
class Call {
 public:
  Call(SocketAccess::State& state, const int& socket) : state_(state) {
    std::lock_guard<std::mutex> lock(state_.mutex);
    ++state_.calls;
    fd_ = socket;
  }
  ~Call() {
    std::lock_guard<std::mutex> lock(state_.mutex);
    if (--state_.calls == 0 && state_.deferredFd != -1) {
      ::close(state_.deferredFd);
      state_.deferredFd = -1;
    }
  }
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

  int fd() const { return fd_; }

 private:
  SocketAccess::State& state_;
  int fd_;
};

}  // namespace

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
  SocketAccess::connectBlocking(*this);
}

I2pSocket::I2pSocket(const sockaddr_in& addr) : I2pSocket(addr, TimeLimits()) {}

I2pSocket::I2pSocket(const sockaddr_in& addr, const TimeLimits& limits)
    : samMinVer("3.0"),
      samMaxVer("3.1"),
      socket(-1),
      servAddr(addr),
      SAMPort(ntohs(addr.sin_port)),
      state(std::make_unique<State>(limits)) {
  SocketAccess::connectBlocking(*this);
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
  SocketAccess::connectBlocking(*this);
}

I2pSocket::I2pSocket(const sockaddr_in& addr, const std::string& SAMHost, const TimeLimits& limits,
                     Internal)
    : samMinVer("3.0"),
      samMaxVer("3.1"),
      socket(-1),
      servAddr(addr),
      SAMHost(SAMHost),
      SAMPort(ntohs(addr.sin_port)),
      state(std::make_unique<State>(limits)) {}

I2pSocket::I2pSocket(I2pSocket&& other, Internal)
    : samMinVer("3.0"),
      samMaxVer("3.1"),
      socket(-1),
      servAddr(other.servAddr),
      SAMHost(other.SAMHost),
      SAMPort(other.SAMPort),
      version(other.version) {
  socket = other.release(pending);
  state = std::move(other.state);
  other.state = std::make_unique<State>(state->limits);
}

I2pSocket::~I2pSocket() { close(); }

void SocketAccess::connectBlocking(I2pSocket& s) {
  const Deadline deadline(s.state->limits.connect, s.state->limits.deadline);
  net::Outcome outcome = startConnect(s);
  if (outcome.kind == net::Outcome::AGAIN) {
    if (!deadline.waitFor(s.socket, POLLOUT)) {
      timedOut(s, Phase::CONNECT, "", deadline);
      return;
    }
    outcome = finishConnect(s);
  }
  if (!outcome.ok()) return;
  makeBlocking(s);
  wire::Exchange greeting = hello(s);
  run(s, greeting, s.state->limits.reply);
  heard(s, greeting);
}

net::Outcome SocketAccess::startConnect(I2pSocket& s) {
  I2pSocket::State& state = *s.state;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.cancelled) {
      state.lastError = {ErrorCode::CANCELLED, Message::OK, 0, "connect: cancelled"};
      return {net::Outcome::CANCELLED};
    }
    // Non-blocking while connecting, so that the connect has a limit of its own and an
    // interruption does not lose track of it.
    s.socket = net::openStreamSocket();
  }
  if (s.socket == -1) {
    const int error = errno;
    fail(s, ErrorCode::IO, error, "socket: " + systemText(error));
    return net::Outcome::failed(error);
  }
  const net::Outcome outcome = net::startConnect(s.socket, s.servAddr);
  if (outcome.kind == net::Outcome::FAILED) {
    fail(s, ErrorCode::CONNECT, outcome.error,
         "connect to " + peerName(s) + ": " + systemText(outcome.error));
  }
  return outcome;
}

net::Outcome SocketAccess::finishConnect(I2pSocket& s) {
  const std::string target = "connect to " + peerName(s);
  if (s.state->cancelled) {
    fail(s, ErrorCode::CANCELLED, 0, target + ": cancelled");
    return {net::Outcome::CANCELLED};
  }
  const net::Outcome outcome = net::finishConnect(s.socket);
  if (!outcome.ok())
    fail(s, ErrorCode::CONNECT, outcome.error, target + ": " + systemText(outcome.error));
  return outcome;
}

void SocketAccess::makeBlocking(I2pSocket& s) {
  if (s.socket != -1) ::fcntl(s.socket, F_SETFL, ::fcntl(s.socket, F_GETFL) & ~O_NONBLOCK);
}

wire::Exchange SocketAccess::hello(const I2pSocket& s) {
  return wire::Exchange(wire::Command::HELLO, Message::hello(s.samMinVer, s.samMaxVer), 1);
}

void SocketAccess::heard(I2pSocket& s, const wire::Exchange& hello) {
  if (hello.need() != wire::Exchange::Need::DONE) return;
  const Message::eStatus status = hello.status();
  if (status == Message::OK) {
    s.version = hello.value();
  } else if (s.isOk()) {
    // The connection stays open: the bridge answered, it only chose no version.
    s.state->lastError = {ErrorCode::REFUSED, status, 0,
                          "HELLO refused: " + describeReply(hello.lines()[0])};
    print_error("Handshake failed");
  }
}

std::unique_ptr<I2pSocket> SocketAccess::notConnected(const sockaddr_in& addr,
                                                      const std::string& host,
                                                      const TimeLimits& limits) {
  return std::unique_ptr<I2pSocket>(
      new I2pSocket(addr, host, limits, I2pSocket::Internal::NOT_CONNECTED));
}

void SocketAccess::fail(I2pSocket& s, ErrorCode code, int systemError, const std::string& reason) {
  I2pSocket::State& state = *s.state;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    // The first failure is the reason: the other direction's call that it wakes fails too,
    // and must not cover it up.
    const bool first = s.socket != -1 || state.lastError.ok();
    if (s.socket != -1) {
      if (state.calls == 0) {
        ::close(s.socket);
      } else {
        ::shutdown(s.socket, SHUT_RDWR);
        state.deferredFd = s.socket;
      }
      s.socket = -1;
    }
    if (first) {
      const Message::eStatus status =
          code == ErrorCode::TIMED_OUT ? Message::DEADLINE_EXCEEDED : Message::OK;
      state.lastError = {code, status, systemError, reason};
    }
  }
  print_error(reason);
}

void SocketAccess::timedOut(I2pSocket& s, Phase phase, const std::string& name,
                            const Deadline& deadline) {
  std::string reason;
  switch (phase) {
    case Phase::CONNECT:
      reason = "connect to " + peerName(s) + ": no connection " + deadline.within();
      break;
    case Phase::WRITE:
      reason = "write: not sent " + deadline.within();
      break;
    case Phase::REPLY:
      reason = name + ": no complete line " + deadline.within();
      break;
  }
  fail(s, ErrorCode::TIMED_OUT, 0, reason);
  if (phase != Phase::REPLY) return;
  // The receive that ran out of time has said "nothing came": for a line, the line's limit is
  // the reason.
  std::lock_guard<std::mutex> lock(s.state->mutex);
  s.state->lastError = {ErrorCode::TIMED_OUT, Message::DEADLINE_EXCEEDED, 0, reason};
}

std::string SocketAccess::peerName(const I2pSocket& s) {
  if (!s.SAMHost.empty()) return s.SAMHost + ":" + std::to_string(s.SAMPort);
  return net::addressText(s.servAddr.sin_addr) + ":" + std::to_string(ntohs(s.servAddr.sin_port));
}

namespace {

// A call found the socket unusable: after cancel(), that is recorded and the connection closed.
bool usable(I2pSocket& s, const std::string& phase) {
  if (s.isOk()) return true;
  if (s.getDescriptor() != -1)
    SocketAccess::fail(s, ErrorCode::CANCELLED, 0, phase + ": cancelled");
  print_error("The socket is closed");
  return false;
}

}  // namespace

void I2pSocket::write(const std::string& msg) {
  if (!usable(*this, "write")) return;
  if (msg.empty()) {
    // An empty write ends the connection: callers rely on it to close a socket whose request
    // line could not be built.
    close();
    state->lastError = {ErrorCode::ARGUMENT, Message::OK, 0, "write: nothing to send"};
    print_error("I2pSocket was closed");
    return;
  }
  const Call call(*state, socket);
  const Deadline deadline(state->limits.write, state->limits.deadline);
  std::size_t sent = 0;
  const net::Outcome outcome =
      net::sendAll(call.fd(), msg.data(), msg.size(), deadline, state->cancelled, sent);
  switch (outcome.kind) {
    case net::Outcome::DONE:
      return;
    case net::Outcome::CANCELLED:
      return SocketAccess::fail(*this, ErrorCode::CANCELLED, 0, "write: cancelled");
    case net::Outcome::TIMED_OUT:
      return SocketAccess::timedOut(*this, SocketAccess::Phase::WRITE, "", deadline);
    default:
      return SocketAccess::fail(*this, ErrorCode::IO, outcome.error,
                                "write: " + systemText(outcome.error));
  }
}

namespace {

// Receives once into `bytes` on `fd`, the descriptor of a call in progress; a failure closes
// the socket.
net::Outcome receive(I2pSocket& s, int fd, std::string& bytes, const std::string& phase,
                     const Deadline& deadline, const std::atomic<bool>& cancelled) {
  const net::Outcome outcome = net::receive(fd, bytes, receiveSize, deadline, cancelled);
  switch (outcome.kind) {
    case net::Outcome::DONE:
      break;
    case net::Outcome::CANCELLED:
      SocketAccess::fail(s, ErrorCode::CANCELLED, 0, phase + ": cancelled");
      break;
    case net::Outcome::CLOSED:
      SocketAccess::fail(s, ErrorCode::CLOSED, 0, phase + ": the peer closed the connection");
      break;
    case net::Outcome::TIMED_OUT:
      SocketAccess::fail(s, ErrorCode::TIMED_OUT, 0, phase + ": nothing came " + deadline.within());
      break;
    default:
      SocketAccess::fail(s, ErrorCode::IO, outcome.error, phase + ": " + systemText(outcome.error));
      break;
  }
  return outcome;
}

}  // namespace

std::string I2pSocket::read() {
  if (!usable(*this, "read")) return "";
  if (!pending.empty()) {
    std::string kept;
    kept.swap(pending);
    return kept;
  }
  const Call call(*state, socket);
  std::string bytes;
  receive(*this, call.fd(), bytes, "read", Deadline(state->limits.read, state->limits.deadline),
          state->cancelled);
  return bytes;
}

std::string I2pSocket::readLine() {
  wire::Exchange line(wire::Command::LINE, "", 1);
  return SocketAccess::run(*this, line, state->limits.read) ? line.lines()[0] : "";
}

bool SocketAccess::run(I2pSocket& s, wire::Exchange& exchange,
                       std::chrono::milliseconds replyLimit) {
  const std::string phase = exchange.name();
  if (exchange.need() == wire::Exchange::Need::SEND) {
    s.write(std::string(exchange.output()));
    if (!s.isOk()) return false;
    exchange.sent(exchange.output().size());
  }
  if (exchange.need() != wire::Exchange::Need::RECEIVE) return true;
  if (!usable(s, phase)) return false;
  const Call call(*s.state, s.socket);
  // One deadline for all the lines, however many receives they take.
  const Deadline deadline(replyLimit, s.state->limits.deadline);
  for (;;) {
    s.pending.erase(0, exchange.feed(s.pending));
    if (exchange.lineTooLong()) {
      fail(s, ErrorCode::PROTOCOL, 0,
           phase + ": no line end within " + std::to_string(wire::Exchange::maxLineLength) +
               " bytes");
      return false;
    }
    if (exchange.need() != wire::Exchange::Need::RECEIVE) return true;
    // A line cut off by the end of the connection is no reply: it may be any prefix of one.
    if (deadline.hasPassed()) {
      timedOut(s, Phase::REPLY, phase, deadline);
      return false;
    }
    const net::Outcome outcome =
        receive(s, call.fd(), s.pending, phase, deadline, s.state->cancelled);
    if (outcome.kind == net::Outcome::TIMED_OUT) timedOut(s, Phase::REPLY, phase, deadline);
    if (!outcome.ok()) return false;
  }
}

net::Outcome SocketAccess::sendSome(I2pSocket& s, wire::Exchange& exchange) {
  while (exchange.need() == wire::Exchange::Need::SEND) {
    std::size_t sent = 0;
    const std::string_view output = exchange.output();
    const net::Outcome outcome = net::sendSome(s.socket, output.data(), output.size(), sent);
    if (outcome.kind == net::Outcome::AGAIN) return outcome;
    if (!outcome.ok()) {
      fail(s, ErrorCode::IO, outcome.error, "write: " + systemText(outcome.error));
      return outcome;
    }
    exchange.sent(sent);
  }
  return {};
}

net::Outcome SocketAccess::receiveSome(I2pSocket& s, wire::Exchange& exchange) {
  const std::string phase = exchange.name();
  char buffer[receiveSize];
  while (exchange.need() == wire::Exchange::Need::RECEIVE) {
    std::size_t received = 0;
    net::Outcome outcome = net::receiveSome(s.socket, buffer, sizeof buffer, true, received);
    if (outcome.ok()) {
      // Only what the exchange takes leaves the descriptor: those bytes are queued already, so
      // the receive that drops them takes exactly as many.
      const std::size_t taken = exchange.feed(std::string_view(buffer, received));
      if (taken > 0) outcome = net::receiveSome(s.socket, buffer, taken, false, received);
      if (exchange.lineTooLong()) {
        fail(s, ErrorCode::PROTOCOL, 0,
             phase + ": no line end within " + std::to_string(wire::Exchange::maxLineLength) +
                 " bytes");
        return {net::Outcome::FAILED};
      }
      if (outcome.ok()) continue;
    }
    switch (outcome.kind) {
      case net::Outcome::AGAIN:
        return outcome;
      case net::Outcome::CLOSED:
        fail(s, ErrorCode::CLOSED, 0, phase + ": the peer closed the connection");
        return outcome;
      default:
        fail(s, ErrorCode::IO, outcome.error, phase + ": " + systemText(outcome.error));
        return outcome;
    }
  }
  return {};
}

const std::shared_ptr<SessionLink>& SocketAccess::link(I2pSocket& control) {
  if (!control.state->link) control.state->link = std::make_shared<SessionLink>();
  return control.state->link;
}

std::shared_ptr<SessionLink> SocketAccess::existingLink(const I2pSocket& control) {
  return control.state->link;
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
      if (state->calls == 0) {
        ::close(socket);
      } else {
        ::shutdown(socket, SHUT_RDWR);
        state->deferredFd = socket;
      }
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

bool I2pSocket::isOk() const {
  std::lock_guard<std::mutex> lock(state->mutex);
  return socket != -1 && !state->cancelled;
}

int I2pSocket::getDescriptor() const {
  std::lock_guard<std::mutex> lock(state->mutex);
  return socket;
}

const std::string& I2pSocket::getHost() const { return SAMHost; }

uint16_t I2pSocket::getPort() const { return SAMPort; }

const std::string& I2pSocket::getVersion() const { return version; }

const sockaddr_in& I2pSocket::getAddress() const { return servAddr; }

}  // namespace SAM
