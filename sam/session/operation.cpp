// Operations: the exchanges of the blocking calls, driven step by step without blocking. Each
// runs the same wire exchanges on an I2pSocket of its own, records its failures in that socket
// with the same texts, and ends with the same reasons and sick rules as the blocking call.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <velqor/datagram_session.hpp>
#include <velqor/operation.hpp>
#include <velqor/stream_session.hpp>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sam/net/deadline.hpp"
#include "sam/net/resolve.hpp"
#include "sam/net/tcp.hpp"
#include "sam/net/udp.hpp"
#include "sam/session/exchange.hpp"
#include "sam/session/session_access.hpp"
#include "sam/session/session_link.hpp"
#include "sam/session/socket_access.hpp"
#include "sam/wire/destination_format.hpp"
#include "sam/wire/exchange.hpp"

namespace SAM {

namespace {

using Need = wire::Exchange::Need;

// Where an operation is.
enum class Phase {
  CONNECTING,  // the TCP connect to the bridge
  HELLO,       // the HELLO exchange
  QUEUED,      // an accept waiting for the previous accept's status line
  REQUEST,     // the request and its reply
  PEER,        // an accept waiting for its peer's destination line
  ENDED,
};

}  // namespace

struct Operation::Core {
  Core(Kind kind, const TimeLimits& limits) : kind(kind), limits(limits) {}
  ~Core() { leaveQueue(); }

  const Kind kind;
  const TimeLimits limits;
  Progress progress = Progress::PENDING;
  Phase phase = Phase::CONNECTING;
  Error error;

  std::unique_ptr<I2pSocket> connection;
  wire::Exchange exchange{wire::Command::HELLO, "", 0};
  std::optional<Deadline> deadline;  // of the part of the phase under way
  bool sending = false;              // the part under way is a send (else a receive)

  // The request, built at the start; for a session, built once its connection is known.
  wire::Command command = wire::Command::HELLO;
  std::string requestLine;
  bool silent = false;
  std::shared_ptr<SessionLink> link;  // the session it serves; none for a session's creation
  bool queued = false;                // an accept in its session's queue

  // Session creation.
  SessionParts parts;
  std::string askedDestination;

  // Results.
  std::string value;
  FullDestination destination;
  std::string peer;
  std::unique_ptr<StreamSession> streamSession;
  std::unique_ptr<DatagramSession> datagramSession;
  std::string forwardHost;
  uint16_t forwardPort = 0;
  bool forwardSilent = false;

  std::string name() const { return wire::nameOf(command); }
  bool isSessionCreation() const {
    return kind == Kind::STREAM_SESSION || kind == Kind::DATAGRAM_SESSION;
  }

  // Ends the operation: FAILED with `why` (the session, if any, records it by the sick rules
  // when `sick`), or DONE.
  void fail(const Error& why, bool sick) {
    error = why;
    if (link != nullptr && link->session != nullptr) {
      SessionAccess::failed(*link->session, why, sick);
    }
    end(Progress::FAILED);
  }
  void end(Progress outcome) {
    progress = outcome;
    phase = Phase::ENDED;
    deadline.reset();
    leaveQueue();
    const bool keepsConnection =
        outcome == Progress::DONE && (kind == Kind::STREAM_CONNECT || kind == Kind::STREAM_ACCEPT);
    if (!keepsConnection) connection.reset();
    if (parts.udpSocket != -1) {  // a datagram session's socket that no session took
      ::close(parts.udpSocket);
      parts.udpSocket = -1;
    }
  }

  // The request failed with `answer` on the connection: the reasons and the sick rules of the
  // blocking request.
  void failRequest(const Exchanged& answer) {
    const bool stream =
        kind == Kind::STREAM_CONNECT || kind == Kind::STREAM_ACCEPT || kind == Kind::STREAM_FORWARD;
    const bool sick = isSessionCreation() || (stream ? streamFailureMakesSick(answer.status)
                                                     : queryFailureMakesSick(answer.status));
    Error why = failureOf(name(), answer, *connection);
    if (kind == Kind::DEST_GENERATE && answer.status == Message::NO_ANSWER && connection->isOk()) {
      why = {ErrorCode::PROTOCOL, Message::OK, 0, "DEST GENERATE: the reply holds no PUB and PRIV"};
    }
    fail(why, sick);
  }

  // Accepts take their turn one after another (see startAccept).
  void leaveQueue() {
    if (!queued || link == nullptr) return;
    queued = false;
    std::deque<Core*>& accepts = link->accepts;
    const bool wasFirst = !accepts.empty() && accepts.front() == this;
    accepts.erase(std::remove(accepts.begin(), accepts.end(), this), accepts.end());
    if (wasFirst && !accepts.empty()) accepts.front()->takeTurn();
  }
  // The previous accept's status line has come, or it ended: this accept may send its line, at
  // once if it waits for its turn, else once its HELLO is over. The line is sent here where the
  // connection takes it at once, so that the loop watching this accept for its reply needs to
  // change nothing; everything else (a failure, the reply) is for this accept's own step(), so
  // that no operation ends inside another's.
  void takeTurn() {
    if (phase != Phase::QUEUED) return;
    beginRequest();
    const std::string_view line = exchange.output();
    std::size_t sent = 0;
    if (net::sendSome(connection->getDescriptor(), line.data(), line.size(), sent).ok()) {
      exchange.sent(sent);
    }
  }

  void beginPhase(Phase next, const wire::Exchange& part) {
    phase = next;
    exchange = part;
    deadline.reset();
  }
  void beginRequest() {
    beginPhase(Phase::REQUEST, wire::Exchange(command, requestLine, silent ? 0 : 1));
  }

  // Starts the connect; false when it failed at once.
  bool startConnect(const sockaddr_in& address, const std::string& host) {
    connection = SocketAccess::notConnected(address, host, limits);
    deadline.emplace(limits.connect, limits.deadline);
    const net::Outcome outcome = SocketAccess::startConnect(*connection);
    if (outcome.ok()) {
      afterConnect();
    } else if (outcome.kind != net::Outcome::AGAIN) {
      connectFailed();
      return false;
    }
    return true;
  }
  void connectFailed() {
    // The blocking call would find its connection unusable before sending anything.
    failRequest({connection->getLastError().code == ErrorCode::TIMED_OUT
                     ? Message::DEADLINE_EXCEEDED
                     : Message::SOCKET_NOT_OK,
                 "", false});
  }
  void afterConnect() { beginPhase(Phase::HELLO, SocketAccess::hello(*connection)); }

  // The HELLO is over: on to the request, as the blocking call goes on after its handshake.
  void afterHello() {
    SocketAccess::heard(*connection, exchange);
    if (!connection->isOk()) {
      failRequest({connection->getLastError().code == ErrorCode::TIMED_OUT
                       ? Message::DEADLINE_EXCEEDED
                       : Message::SOCKET_NOT_OK,
                   "", false});
      return;
    }
    if (isSessionCreation() && !prepareCreation()) return;
    if (queued && link->accepts.front() != this) {
      phase = Phase::QUEUED;
      deadline.reset();
      return;
    }
    beginRequest();
  }

  // The request's reply is in (or, silent, the request is sent).
  void afterRequest() {
    const Exchanged answer = exchanged(exchange, *connection);
    if (kind == Kind::STREAM_ACCEPT) leaveQueue();  // the status line has come: the next may go
    if (answer.status != Message::OK) {
      failRequest(answer);
      return;
    }
    switch (kind) {
      case Kind::STREAM_SESSION:
      case Kind::DATAGRAM_SESSION:
        return finishCreation(answer);
      case Kind::NAMING_LOOKUP:
        value = exchange.value();
        return end(Progress::DONE);
      case Kind::DEST_GENERATE:
        destination = FullDestination(Message::getValue(answer.reply, "PUB"),
                                      Message::getValue(answer.reply, "PRIV"), true);
        return end(Progress::DONE);
      case Kind::STREAM_ACCEPT:
        if (!silent) return beginPhase(Phase::PEER, wire::Exchange(wire::Command::LINE, "", 1));
        return end(Progress::DONE);
      case Kind::STREAM_CONNECT:
        return end(Progress::DONE);
      case Kind::STREAM_FORWARD:
        if (link == nullptr || link->streams == nullptr) {
          return fail({ErrorCode::CLOSED, Message::OK, 0,
                       "STREAM FORWARD: the session was destroyed before the forward came about"},
                      false);
        }
        SessionAccess::addForward(*link->streams, std::move(connection), forwardHost, forwardPort,
                                  forwardSilent);
        return end(Progress::DONE);
    }
  }

  // The request line of a session's creation, once its connection is there; false when the
  // creation failed.
  bool prepareCreation() {
    std::string options = parts.options;
    if (kind == Kind::DATAGRAM_SESSION) {
      std::string host;
      Error why;
      parts.udpSocket =
          SessionAccess::openUdpSocket(connection->getDescriptor(), host, parts.udpPort, why);
      if (parts.udpSocket == -1) {
        fail(why, true);
        return false;
      }
      options = "HOST=" + host + " PORT=" + std::to_string(parts.udpPort) +
                (options.empty() ? "" : " " + options);
    }
    requestLine = Message::sessionCreate(parts.style, parts.sessionID, parts.nickname,
                                         askedDestination, options, wire::sessionSignatureType);
    if (requestLine.empty()) {
      fail({ErrorCode::ARGUMENT, Message::OK, 0,
            "SESSION CREATE: an argument holds a line break or a zero byte"},
           true);
      return false;
    }
    return true;
  }

  void finishCreation(const Exchanged& answer) {
    const std::string priv = Message::getValue(answer.reply, "DESTINATION");
    parts.destination =
        FullDestination(derivePublicDestination(priv), priv, askedDestination == "TRANSIENT");
    parts.control = std::move(connection);
    SocketAccess::makeBlocking(*parts.control);
    if (kind == Kind::STREAM_SESSION) {
      streamSession = SessionAccess::makeStreamSession(parts);
    } else {
      datagramSession = SessionAccess::makeDatagramSession(parts);
    }
    end(Progress::DONE);
  }

  // What the phase's limit is, when it starts: the connect limit, the write limit for a send,
  // the reply limit for the bridge's lines, the read limit for a peer's.
  std::chrono::milliseconds limitOfPart() const {
    if (phase == Phase::CONNECTING) return limits.connect;
    if (sending) return limits.write;
    return phase == Phase::PEER ? limits.read : limits.reply;
  }

  // The deadline of the part under way; before a part has begun (an accept waiting for its
  // turn), only the caller's deadline for everything.
  Deadline current() const {
    return deadline ? *deadline : Deadline(std::chrono::milliseconds(0), limits.deadline);
  }

  void timedOut() {
    const Deadline passed = current();
    if (phase == Phase::CONNECTING) {
      SocketAccess::timedOut(*connection, SocketAccess::Phase::CONNECT, "", passed);
      return connectFailed();
    }
    if (phase == Phase::QUEUED) {
      SocketAccess::fail(*connection, ErrorCode::TIMED_OUT, 0,
                         name() + ": not sent " + passed.within() +
                             ", waiting for the status line of the session's previous accept");
      return failRequest({Message::DEADLINE_EXCEEDED, "", true});
    }
    SocketAccess::timedOut(*connection,
                           sending ? SocketAccess::Phase::WRITE : SocketAccess::Phase::REPLY,
                           exchange.name(), passed);
    afterStop();
  }

  // The exchange under way stopped on a failure, which closed the connection.
  void afterStop() {
    if (phase == Phase::PEER) {
      // The stream came, but not its peer's line: the accept fails as a read of it would, which
      // says nothing about the session.
      error = connection->getLastError();
      return end(Progress::FAILED);
    }
    if (phase == Phase::HELLO) return afterHello();
    afterRequest();
  }

  // Moves on as far as the connection goes without blocking.
  void advance() {
    while (progress == Progress::PENDING) {
      if (phase == Phase::CONNECTING) {
        pollfd entry{connection->getDescriptor(), POLLOUT, 0};
        if (::poll(&entry, 1, 0) <= 0) return;
        if (!SocketAccess::finishConnect(*connection).ok()) return connectFailed();
        afterConnect();
        continue;
      }
      if (phase == Phase::QUEUED) return;
      const Need need = exchange.need();
      if (need == Need::DONE) {
        if (phase == Phase::HELLO) {
          afterHello();
        } else if (phase == Phase::REQUEST) {
          afterRequest();
        } else {
          peer = exchange.lines()[0].substr(0, exchange.lines()[0].size() - 1);
          end(Progress::DONE);
        }
        continue;
      }
      const bool send = need == Need::SEND;
      if (!deadline || send != sending) {
        sending = send;
        deadline.emplace(limitOfPart(), limits.deadline);
      }
      const net::Outcome outcome = send ? SocketAccess::sendSome(*connection, exchange)
                                        : SocketAccess::receiveSome(*connection, exchange);
      if (outcome.kind == net::Outcome::AGAIN) return;
      if (!outcome.ok()) return afterStop();
    }
  }
};

Operation::Operation(std::unique_ptr<Core> core) : core(std::move(core)) {}

Operation::~Operation() = default;

namespace {

std::unique_ptr<Operation::Core> failedAtStart(Operation::Kind kind, const Error& why) {
  auto core = std::make_unique<Operation::Core>(kind, TimeLimits());
  core->error = why;
  core->end(Operation::Progress::FAILED);
  return core;
}

}  // namespace

namespace {

// A session's creation: the connect to the bridge at `SAMHost`, resolved here, then the HELLO,
// then SESSION CREATE.
std::unique_ptr<Operation::Core> startCreation(Operation::Kind kind, const std::string& nickname,
                                               const std::string& SAMHost, uint16_t SAMPort,
                                               Message::SessionStyle style,
                                               const std::string& myDestination,
                                               const std::string& i2pOptions,
                                               const TimeLimits& limits) {
  auto core = std::make_unique<Operation::Core>(kind, limits);
  core->command = wire::Command::SESSION_CREATE;
  core->parts.nickname = nickname;
  core->parts.sessionID = Session::generateSessionID();
  core->parts.options = i2pOptions;
  core->parts.style = style;
  core->askedDestination = myDestination;
  // An argument that cannot go into the line fails the creation whatever the bridge does.
  if (Message::sessionCreate(style, core->parts.sessionID, nickname, myDestination, i2pOptions,
                             wire::sessionSignatureType)
          .empty()) {
    core->fail({ErrorCode::ARGUMENT, Message::OK, 0,
                "SESSION CREATE: an argument holds a line break or a zero byte"},
               true);
    return core;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(SAMPort);
  int systemError = 0;
  const std::string failure = net::resolveIPv4(SAMHost, address.sin_addr, systemError);
  if (!failure.empty()) {
    core->connection = SocketAccess::notConnected(address, SAMHost, limits);
    SocketAccess::fail(*core->connection, ErrorCode::RESOLVE, systemError,
                       "resolve " + SAMHost + ": " + failure);
    core->connectFailed();
    return core;
  }
  core->startConnect(address, SAMHost);
  return core;
}

}  // namespace

std::unique_ptr<Operation> Operation::startStreamSession(
    const std::string& nickname, const std::string& SAMHost, uint16_t SAMPort,
    const std::string& myDestination, const std::string& i2pOptions, const TimeLimits& limits) {
  return std::unique_ptr<Operation>(
      new Operation(startCreation(Kind::STREAM_SESSION, nickname, SAMHost, SAMPort, Message::STREAM,
                                  myDestination, i2pOptions, limits)));
}

std::unique_ptr<Operation> Operation::startDatagramSession(
    const std::string& nickname, const std::string& SAMHost, uint16_t SAMPort,
    Message::SessionStyle style, const std::string& myDestination, const std::string& i2pOptions,
    const TimeLimits& limits) {
  if (style != Message::DATAGRAM && style != Message::RAW) {
    return std::unique_ptr<Operation>(new Operation(failedAtStart(
        Kind::DATAGRAM_SESSION,
        {ErrorCode::ARGUMENT, Message::OK, 0,
         "SESSION CREATE: a datagram session takes STYLE=DATAGRAM or RAW, not STREAM"})));
  }
  return std::unique_ptr<Operation>(
      new Operation(startCreation(Kind::DATAGRAM_SESSION, nickname, SAMHost, SAMPort, style,
                                  myDestination, i2pOptions, limits)));
}

namespace {

// An operation on `session`: its connection to the session's bridge, with the session's limits.
std::unique_ptr<Operation::Core> onSession(Operation::Kind kind, Session& session,
                                           std::shared_ptr<SessionLink> link, wire::Command command,
                                           std::string requestLine, bool silent) {
  auto core = std::make_unique<Operation::Core>(kind, session.getTimeLimits());
  core->link = std::move(link);
  if (kind == Operation::Kind::STREAM_ACCEPT) {
    // In the queue from the start, so that accepts take their turns in the order they began.
    core->queued = true;
    core->link->accepts.push_back(core.get());
  }
  core->command = command;
  core->requestLine = std::move(requestLine);
  core->silent = silent;
  if (core->requestLine.empty()) {
    // A refused argument: nothing is sent, and the session stays as it is.
    core->fail({ErrorCode::ARGUMENT, Message::OK, 0,
                core->name() + (command == wire::Command::NAMING_LOOKUP
                                    ? ": the name holds a line break or a zero byte"
                                    : ": an argument holds a line break or a zero byte")},
               false);
    return core;
  }
  const I2pSocket& control = SessionAccess::control(session);
  if (control.getLastError().code == ErrorCode::RESOLVE) {
    // A bridge whose name did not resolve has no address: fail as a copy of the control
    // connection does.
    core->connection =
        SocketAccess::notConnected(control.getAddress(), control.getHost(), core->limits);
    SocketAccess::fail(*core->connection, control.getLastError().code,
                       control.getLastError().systemError, control.getLastError().reason);
    core->connectFailed();
    return core;
  }
  core->startConnect(control.getAddress(), control.getHost());
  return core;
}

}  // namespace

std::unique_ptr<Operation> Operation::startNamingLookup(Session& session, const std::string& name) {
  return std::unique_ptr<Operation>(
      new Operation(onSession(Kind::NAMING_LOOKUP, session, SessionAccess::link(session),
                              wire::Command::NAMING_LOOKUP, Message::namingLookup(name), false)));
}

std::unique_ptr<Operation> Operation::startDestGenerate(Session& session) {
  return std::unique_ptr<Operation>(
      new Operation(onSession(Kind::DEST_GENERATE, session, SessionAccess::link(session),
                              wire::Command::DEST_GENERATE, Message::destGenerate(), false)));
}

std::unique_ptr<Operation> Operation::startConnect(StreamSession& session,
                                                   const std::string& destination, bool silent) {
  return std::unique_ptr<Operation>(new Operation(onSession(
      Kind::STREAM_CONNECT, session, SessionAccess::link(session), wire::Command::STREAM_CONNECT,
      Message::streamConnect(session.getSessionID(), destination, silent), silent)));
}

std::unique_ptr<Operation> Operation::startAccept(StreamSession& session, bool silent) {
  return std::unique_ptr<Operation>(new Operation(onSession(
      Kind::STREAM_ACCEPT, session, SessionAccess::link(session), wire::Command::STREAM_ACCEPT,
      Message::streamAccept(session.getSessionID(), silent), silent)));
}

std::unique_ptr<Operation> Operation::startForward(StreamSession& session, const std::string& host,
                                                   uint16_t port, bool silent) {
  auto core = onSession(Kind::STREAM_FORWARD, session, SessionAccess::link(session),
                        wire::Command::STREAM_FORWARD,
                        Message::streamForward(session.getSessionID(), host, port, silent), false);
  core->forwardHost = host;
  core->forwardPort = port;
  core->forwardSilent = silent;  // for the forward's entry: a forward always reads its status
  return std::unique_ptr<Operation>(new Operation(std::move(core)));
}

Operation::Progress Operation::step() {
  if (core->progress != Progress::PENDING) return core->progress;
  if (core->current().hasPassed()) {
    core->timedOut();
  } else {
    core->advance();
    if (core->progress == Progress::PENDING && core->current().hasPassed()) core->timedOut();
  }
  return core->progress;
}

Operation::Progress Operation::progress() const { return core->progress; }

Operation::Kind Operation::kind() const { return core->kind; }

int Operation::descriptor() const {
  return core->connection ? core->connection->getDescriptor() : -1;
}

unsigned Operation::events() const {
  if (core->progress != Progress::PENDING) return WAIT_NONE;
  if (core->phase == Phase::CONNECTING) return WAIT_WRITE;
  if (core->phase == Phase::QUEUED) return WAIT_READ;  // only the bridge's end shows here
  return core->exchange.need() == Need::SEND ? WAIT_WRITE : WAIT_READ;
}

int Operation::timeoutMs() const {
  if (core->progress != Progress::PENDING) return -1;
  return core->current().timeLeftMs();
}

const Error& Operation::error() const { return core->error; }

std::unique_ptr<StreamSession> Operation::takeStreamSession() {
  return std::move(core->streamSession);
}

std::unique_ptr<DatagramSession> Operation::takeDatagramSession() {
  return std::move(core->datagramSession);
}

const std::string& Operation::value() const { return core->value; }

const FullDestination& Operation::destination() const { return core->destination; }

std::unique_ptr<I2pSocket> Operation::takeSocket() {
  const bool isStream = core->kind == Kind::STREAM_CONNECT || core->kind == Kind::STREAM_ACCEPT;
  if (!isStream || core->progress != Progress::DONE || !core->connection) return nullptr;
  SocketAccess::makeBlocking(*core->connection);
  return std::move(core->connection);
}

int Operation::releaseDescriptor(std::string& keptBytes) {
  keptBytes.clear();
  const std::unique_ptr<I2pSocket> stream = takeSocket();
  if (!stream) return -1;
  const int fd = stream->release(keptBytes);
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

const std::string& Operation::peerDestination() const { return core->peer; }

bool Operation::waitsForPeer() const {
  return core->kind == Kind::STREAM_ACCEPT && core->progress == Progress::PENDING &&
         core->phase == Phase::PEER;
}

std::size_t Operation::wait(Operation* const* operations, std::size_t count, int timeoutMs) {
  std::vector<pollfd> entries;
  std::vector<Operation*> pending;
  int timeout = timeoutMs;
  for (std::size_t i = 0; i < count; ++i) {
    Operation* operation = operations[i];
    if (operation == nullptr || operation->progress() != Progress::PENDING) continue;
    const unsigned events = operation->events();
    entries.push_back({operation->descriptor(),
                       static_cast<short>(((events & WAIT_READ) != 0 ? POLLIN : 0) |
                                          ((events & WAIT_WRITE) != 0 ? POLLOUT : 0)),
                       0});
    pending.push_back(operation);
    const int left = operation->timeoutMs();
    if (left >= 0 && (timeout < 0 || left < timeout)) timeout = left;
  }
  if (pending.empty()) return 0;
  if (::poll(entries.data(), entries.size(), timeout) < 0) {
    for (pollfd& entry : entries) entry.revents = 0;  // interrupted: only limits are looked at
  }
  std::size_t stillPending = 0;
  for (std::size_t i = 0; i < pending.size(); ++i) {
    if (entries[i].revents != 0 || pending[i]->timeoutMs() == 0) pending[i]->step();
    if (pending[i]->progress() == Progress::PENDING) ++stillPending;
  }
  return stillPending;
}

}  // namespace SAM
