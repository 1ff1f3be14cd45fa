/// \file
/// velqor for asio programs: SAM sessions, streams and datagrams as asynchronous operations in
/// asio's manner, with completion tokens (a handler, asio::use_future, asio::use_awaitable, ...).
///
/// Header-only, over the library's non-blocking operations (SAM::Operation), for standalone
/// asio 1.22 or later (Debian's libasio-dev). It is not included by <velqor/sam.hpp>: the
/// library itself does not depend on asio, only a program that includes this header does.
///
///   async_create_stream_session, async_create_datagram_session   make a session
///   stream_session     lookup, generate, connect, accept, forward, and the watch of its end
///   datagram_session   send and receive datagrams, lookup, generate, the watch of its end
///   session_keeper     holds a stream session and rebuilds it, without blocking the loop
///   error, error_category(), to_error_code()   failures as std::error_code
///
/// Conventions that hold for the whole adapter:
///  1. Every operation completes through its completion token, never inside the call that
///     starts it, with a std::error_code first: empty on success, a value of velqor's category
///     (see error) on failure, asio::error::operation_aborted when it was cancelled.
///  2. Each operation has a form with a `SAM::Error& reason` before the token, which is set
///     when the operation completes: the reason of the failure as the library words it (code
///     NONE on success). It must stay valid until then, as a buffer of asio's must.
///  3. Time limits are the session's SAM::TimeLimits (session_settings::limits), kept with
///     asio timers; a limit that passes completes the operation with error::timed_out.
///  4. Cancellation: each operation takes terminal cancellation through its associated
///     cancellation slot (asio::bind_cancellation_slot, asio::cancellation_signal). cancel()
///     on the session ends all of its pending operations, and close() or destruction of the
///     session does too; each then completes with asio::error::operation_aborted, and its
///     connection to the bridge is closed. The session is not made sick by that.
///  5. Streams (asio::ip::tcp::socket from async_connect and async_accept) are plain sockets
///     that the program owns: no byte of them is held anywhere else, and they outlive their
///     session, as in the blocking interface.
///  6. Threads: the adapter starts none and does nothing outside the handlers that its
///     executor runs. A session, its operations and their handlers belong to one thread at a
///     time: run the io_context from one thread, or give the session a strand as executor.
///  7. A bridge given by host name (not a numeric IPv4 address) is resolved with the system's
///     resolver when a session is made, which may block; a numeric address never does.
///
/// Boost.Asio is not supported by this header: it names standalone asio (its namespace and
/// std::error_code) throughout.
#ifndef VELQOR_ASIO_HPP
#define VELQOR_ASIO_HPP

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>
#include <velqor/velqor.h>
#include <velqor/sam.hpp>

#include <algorithm>
#include <asio/any_io_executor.hpp>
#include <asio/bind_cancellation_slot.hpp>
#include <asio/buffer.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/compose.hpp>
#include <asio/error.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace SAM {
/// The asio adapter (see the file's comment).
namespace asio {

/// The values of velqor's error category, error_category(). The numbers are fixed.
///  1. 1 to 10 are the library's ErrorCode values, as they are.
///  2. 103 to 114 are the bridge's refusals: 100 plus the Message::eStatus of its RESULT, for a
///     failure with ErrorCode::REFUSED (a RESULT other than OK). A refusal whose status is none
///     of them is `refused`.
///  3. error_category() maps timed_out to std::errc::timed_out and cancelled to
///     std::errc::operation_canceled, so that either can be compared with those conditions.
enum class error {
  resolve = 1,              ///< the bridge's host name did not resolve
  connect = 2,              ///< the TCP connection to the bridge could not be made
  timed_out = 3,            ///< a time limit of the session's TimeLimits passed
  cancelled = 4,            ///< the library's own cancellation (I2pSocket::cancel)
  closed = 5,               ///< the bridge closed the connection, or the session is closed
  io = 6,                   ///< a send, a receive or another system call failed
  protocol = 7,             ///< the bridge's answer was not a usable reply
  refused = 8,              ///< the bridge refused with a RESULT not listed below
  argument = 9,             ///< an argument was refused before anything was sent
  key_file = 10,            ///< a key file could not be read or written
  unexpected_result = 103,  ///< RESULT=(a value this library does not know)
  duplicated_dest = 104,    ///< RESULT=DUPLICATED_DEST
  duplicated_id = 105,      ///< RESULT=DUPLICATED_ID
  i2p_error = 106,          ///< RESULT=I2P_ERROR
  invalid_id = 107,         ///< RESULT=INVALID_ID
  invalid_key = 108,        ///< RESULT=INVALID_KEY (on i2pd also: a name it does not know)
  cant_reach_peer = 109,    ///< RESULT=CANT_REACH_PEER
  bridge_timeout = 110,     ///< RESULT=TIMEOUT: the bridge's own limit, not the session's
  noversion = 111,          ///< RESULT=NOVERSION
  key_not_found = 112,      ///< RESULT=KEY_NOT_FOUND
  peer_not_found = 113,     ///< RESULT=PEER_NOT_FOUND
  already_accepting = 114,  ///< RESULT=ALREADY_ACCEPTING
};

/// velqor's error category, named "velqor": a message for each value of `error`.
inline const std::error_category& error_category() {
  class category final : public std::error_category {
   public:
    const char* name() const noexcept override { return "velqor"; }
    std::string message(int value) const override {
      static const char* const results[] = {
          "UNEXPECTED_RESULT", "DUPLICATED_DEST", "DUPLICATED_ID",   "I2P_ERROR",
          "INVALID_ID",        "INVALID_KEY",     "CANT_REACH_PEER", "TIMEOUT",
          "NOVERSION",         "KEY_NOT_FOUND",   "PEER_NOT_FOUND",  "ALREADY_ACCEPTING"};
      const int first = static_cast<int>(error::unexpected_result);
      if (value >= first && value <= static_cast<int>(error::already_accepting)) {
        return std::string("the bridge refused: RESULT=") + results[value - first];
      }
      if (value >= static_cast<int>(error::resolve) && value <= static_cast<int>(error::key_file)) {
        return velqor_strerror(value);
      }
      return "unknown velqor error " + std::to_string(value);
    }
    std::error_condition default_error_condition(int value) const noexcept override {
      if (value == static_cast<int>(error::timed_out)) return std::errc::timed_out;
      if (value == static_cast<int>(error::cancelled)) return std::errc::operation_canceled;
      return std::error_condition(value, *this);
    }
  };
  static const category instance;
  return instance;
}

/// The std::error_code of `value` in error_category().
inline std::error_code make_error_code(error value) {
  return std::error_code(static_cast<int>(value), error_category());
}

/// The std::error_code of a library failure (see error for the mapping); empty for code NONE.
inline std::error_code to_error_code(const Error& failure) {
  if (failure.ok()) return std::error_code();
  const int status = static_cast<int>(failure.status);
  if (failure.code == ErrorCode::REFUSED && status >= Message::UNEXPECTED_RESULT &&
      status <= Message::ALREADY_ACCEPTING) {
    return std::error_code(100 + status, error_category());
  }
  return std::error_code(static_cast<int>(failure.code), error_category());
}

}  // namespace asio
}  // namespace SAM

namespace std {
/// Lets SAM::asio::error values compare with and convert to std::error_code.
template <>
struct is_error_code_enum<SAM::asio::error> : true_type {};
}  // namespace std

namespace SAM {
namespace asio {

/// What a session is made with, as for StreamSession's and DatagramSession's constructors.
struct session_settings {
  std::string nickname = "velqor";        ///< inbound.nickname of SESSION CREATE
  std::string host = "127.0.0.1";         ///< the bridge: a numeric IPv4 address or a host name
  uint16_t port = 7656;                   ///< the bridge's TCP port
  std::string destination = "TRANSIENT";  ///< "TRANSIENT" or a private destination to take
  std::string options;                    ///< written at the end of SESSION CREATE
  TimeLimits limits;  ///< for the creation and every later request of the session
};

/// \cond VELQOR_INTERNAL
namespace detail {

using executor_type = ::asio::any_io_executor;
using wait_type = ::asio::posix::descriptor_base::wait_type;
using Progress = Operation::Progress;

inline Error cancelledReason() {
  return {ErrorCode::CANCELLED, Message::OK, 0, "cancelled before it completed"};
}
inline Error closedReason() { return {ErrorCode::CLOSED, Message::OK, 0, "the session is closed"}; }

struct pending_op;

// The pending operations of one owner (a session, a keeper), so that closing or destroying the
// owner ends them.
struct registry {
  std::list<pending_op*> ops;
  void abort_all();
  void recheck_all(const pending_op* except);
};

// What every operation of the adapter has while it is pending. Its timer carries the composed
// operation: it waits until the operation's limit (or for ever), and wake() cancels the wait so
// that the operation looks at its state again. Waits on descriptors run beside it, each with a
// cancellation signal of its own, so that one operation's wait can end alone on a descriptor
// that others wait on too.
struct pending_op : std::enable_shared_from_this<pending_op> {
  explicit pending_op(const executor_type& executor) : timer(executor) {}
  pending_op(const pending_op&) = delete;
  pending_op& operator=(const pending_op&) = delete;
  virtual ~pending_op() { leave(); }

  // An accept whose wait no longer fits what its operation waits for (see operation_state).
  virtual void recheck() {}

  ::asio::steady_timer timer;
  ::asio::cancellation_signal signal;  // of the descriptor wait under way
  unsigned generation = 0;             // of the descriptor wait under way
  bool waiting = false;                // a descriptor wait is under way
  bool aborted = false;                // cancel(), close() or destruction of the owner
  bool wants_loss = false;             // woken when its session is found lost
  std::shared_ptr<registry> owner;
  std::list<pending_op*>::iterator where;

  void join(const std::shared_ptr<registry>& r) {
    leave();
    owner = r;
    where = owner->ops.insert(owner->ops.end(), this);
  }
  void leave() {
    if (!owner) return;
    owner->ops.erase(where);
    owner.reset();
  }
  void wake() { timer.cancel(); }
  void abort() {
    aborted = true;
    wake();
  }

  // Waits on `descriptor` for `type`; the operation is woken once it is ready.
  template <class Descriptor>
  void watch(Descriptor& descriptor, wait_type type) {
    unwatch();
    waiting = true;
    const unsigned mine = ++generation;
    descriptor.async_wait(
        type, ::asio::bind_cancellation_slot(
                  signal.slot(), [self = shared_from_this(), mine](const std::error_code&) {
                    if (self->generation != mine) return;  // a wait given up meanwhile
                    self->waiting = false;
                    self->wake();
                  }));
  }
  void unwatch() {
    if (!waiting) return;
    waiting = false;
    ++generation;
    signal.emit(::asio::cancellation_type::terminal);
  }

  // Waits until `until`, or until woken, with the composed operation `self` as the handler.
  template <class Self>
  void sleep_until(std::chrono::steady_clock::time_point until, Self&& self) {
    timer.expires_at(until);
    timer.async_wait(std::forward<Self>(self));
  }
  template <class Self>
  void sleep_ms(int milliseconds, Self&& self) {
    sleep_until(milliseconds < 0
                    ? std::chrono::steady_clock::time_point::max()
                    : std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds),
                std::forward<Self>(self));
  }
};

inline void registry::abort_all() {
  for (pending_op* op : ops) op->abort();
}

inline void registry::recheck_all(const pending_op* except) {
  for (pending_op* op : ops) {
    if (op != except) op->recheck();
  }
}

template <class Self>
bool cancelled(const Self& self, const pending_op& state) {
  return state.aborted ||
         self.get_cancellation_state().cancelled() != ::asio::cancellation_type::none;
}

// The end of `limit` from now, bounded by the caller's deadline for everything.
inline std::chrono::steady_clock::time_point end_of(
    std::chrono::milliseconds limit, std::chrono::steady_clock::time_point deadline) {
  if (limit.count() <= 0) return deadline;
  return std::min(deadline, std::chrono::steady_clock::now() + limit);
}

// What a session object holds, shared with its pending operations: the library's session, the
// registry of what is pending on it, and the watch of its control connection.
struct session_core : std::enable_shared_from_this<session_core> {
  session_core(const executor_type& executor, std::shared_ptr<Session> session)
      : executor(executor),
        session(std::move(session)),
        pending(std::make_shared<registry>()),
        control(executor),
        recheck(executor),
        udp(executor) {}
  ~session_core() { close(); }

  executor_type executor;
  std::shared_ptr<Session> session;  // deleted as the StreamSession or DatagramSession it is
  std::shared_ptr<registry> pending;

  // The watch of the control connection. The bridge sends nothing on it during a session, so
  // its becoming readable means the session ended there, which checkAlive() tells.
  enum class watch_state { idle, watching, paused, rechecking };
  ::asio::posix::stream_descriptor control;
  ::asio::steady_timer recheck;
  watch_state watching = watch_state::idle;
  std::error_code loss;  // once the session is found lost (or closed)
  Error lossReason;

  ::asio::posix::stream_descriptor udp;  // a datagram session's socket, for its waits

  void close() {
    pending->abort_all();
    stop_watch();
    if (udp.is_open()) udp.release();
    session.reset();
  }

  void stop_watch() {
    if (control.is_open()) control.release();  // the session closes the descriptor, not asio
    recheck.cancel();
    if (watching != watch_state::paused) watching = watch_state::idle;
  }

  // Starts the watch unless it runs or the session is known lost.
  void watch_control() {
    if (loss || watching == watch_state::watching || watching == watch_state::rechecking) return;
    if (!session || session->isSick() || session->getControlDescriptor() < 0) return lost();
    std::error_code failed;
    control.assign(session->getControlDescriptor(), failed);
    if (failed) {
      watching = watch_state::rechecking;  // a descriptor asio cannot watch: ask every second
      return look_later();
    }
    watching = watch_state::watching;
    control.async_wait(::asio::posix::stream_descriptor::wait_read,
                       [weak = weak_from_this()](const std::error_code& ec) {
                         const std::shared_ptr<session_core> core = weak.lock();
                         if (!core || ec == ::asio::error::operation_aborted) return;
                         // Released before checkAlive(), which closes a dead connection.
                         core->control.release();
                         core->watching = watch_state::idle;
                         core->look();
                       });
  }
  // The watch runs only while an operation waits for the loss, so that a loop whose own
  // operations are done runs out of work.
  void unwatch_unless_wanted() {
    for (const pending_op* op : pending->ops) {
      if (op->wants_loss) return;
    }
    if (watching == watch_state::watching || watching == watch_state::rechecking) stop_watch();
  }
  // Library calls that may close the control connection (a datagram session's send and
  // receive look at it) run with the watch paused, so that asio never holds a closed
  // descriptor.
  void pause_watch() {
    if (watching != watch_state::watching) return;
    stop_watch();
    watching = watch_state::paused;
  }
  void resume_watch() {
    if (watching != watch_state::paused) return;
    watching = watch_state::idle;
    watch_control();
  }

  void look() {
    if (!session) return;
    if (!session->checkAlive()) return lost();
    // Bytes the bridge sent, which it never does during a session: they stay unread, so the
    // descriptor stays readable; the connection is asked again every second instead.
    watching = watch_state::rechecking;
    look_later();
  }
  void look_later() {
    recheck.expires_after(std::chrono::seconds(1));
    recheck.async_wait([weak = weak_from_this()](const std::error_code& ec) {
      const std::shared_ptr<session_core> core = weak.lock();
      if (!core || ec) return;
      core->look();
    });
  }
  void lost() {
    watching = watch_state::idle;
    lossReason = session ? session->getLastError() : closedReason();
    if (lossReason.ok()) lossReason = {ErrorCode::CLOSED, Message::OK, 0, "the session is sick"};
    loss = to_error_code(lossReason);
    for (pending_op* op : pending->ops) {
      if (op->wants_loss) op->wake();
    }
  }
};

// An operation of the library under way, and the descriptor asio watches for it.
struct operation_state final : pending_op {
  operation_state(const executor_type& executor, Error* reason)
      : pending_op(executor), descriptor(executor), reason(reason) {}
  ~operation_state() override { forget(); }

  std::unique_ptr<Operation> op;
  ::asio::posix::stream_descriptor descriptor;
  unsigned watched = 0;  // the events of the wait under way
  Error* reason;

  // Accepts of one session take turns (see Operation::startAccept): a step of one sends the
  // next one's line, which may leave that one waiting for WAIT_WRITE where its wait is for
  // WAIT_READ. Such a one is woken so that it waits anew.
  void recheck() override {
    if (op && waiting && op->progress() == Progress::PENDING && op->events() != watched) wake();
  }
  void recheck_accepts(const std::shared_ptr<registry>& of) {
    if (of && op && op->kind() == Operation::Kind::STREAM_ACCEPT) of->recheck_all(this);
  }

  // Waits for what the operation waits for, unless such a wait is under way. The descriptor is
  // the same from the operation's start to its end: asio is given it once.
  std::error_code follow() {
    const unsigned events = op->events();
    if (waiting && events == watched) return std::error_code();
    std::error_code failed;
    if (!descriptor.is_open()) descriptor.assign(op->descriptor(), failed);
    if (failed) return failed;
    watched = events;
    // The library waits for one of the two at a time.
    watch(descriptor, (events & Operation::WAIT_WRITE) != 0
                          ? ::asio::posix::stream_descriptor::wait_write
                          : ::asio::posix::stream_descriptor::wait_read);
    return std::error_code();
  }
  // Gives the descriptor back to the operation before it closes it or hands it over.
  void forget() {
    unwatch();
    if (descriptor.is_open()) descriptor.release();
  }
};

// Drives one Operation: `start` makes it (in the initiation, so that lazy tokens start it only
// when they are awaited), `finish` completes the composed operation with its results.
template <class Start, class Finish>
struct drive_operation {
  enum class phase { fresh, started, running };
  std::shared_ptr<operation_state> state;
  std::shared_ptr<registry> owner;  // may be null
  Start start;
  Finish finish;
  phase now = phase::fresh;

  template <class Self>
  void operator()(Self& self, const std::error_code& = std::error_code()) {
    operation_state& s = *state;
    if (now == phase::fresh) {
      // Started in the initiation, so that lazy tokens start it only when they are awaited;
      // everything else happens in the loop, so that nothing completes inside that call.
      now = phase::started;
      if (owner) s.join(owner);
      s.op = start();
      return ::asio::post(std::move(self));
    }
    if (cancelled(self, s)) return end(self, ::asio::error::operation_aborted);
    if (now == phase::running && s.op && s.op->progress() == Progress::PENDING) {
      s.op->step();
      s.recheck_accepts(s.owner);
    }
    now = phase::running;
    if (!s.op || s.op->progress() != Progress::PENDING) return end(self, std::error_code());
    if (const std::error_code failed = s.follow()) return end(self, failed);
    s.sleep_ms(s.op->timeoutMs(), std::move(self));
  }

  template <class Self>
  void end(Self& self, const std::error_code& failure) {
    operation_state& s = *state;
    s.forget();
    const std::shared_ptr<registry> of = s.owner;
    s.leave();
    Error why;
    std::error_code code = failure;
    if (failure == ::asio::error::operation_aborted) {
      why = cancelledReason();
    } else if (!s.op) {  // no session to start it on
      why = closedReason();
      code = make_error_code(error::closed);
    } else if (failure) {
      why = {ErrorCode::IO, Message::OK, failure.value(),
             "asio cannot watch the operation's descriptor: " + failure.message()};
    } else if (s.op->progress() == Progress::FAILED) {
      why = s.op->error();
      code = to_error_code(why);
    }
    if (s.reason != nullptr) *s.reason = why;
    if (!code) return finish.done(self, s);
    s.op.reset();  // closes its connection; an accept's turn passes on
    if (of) of->recheck_all(nullptr);
    finish.fail(self, code);
  }
};

template <class Signature, class Start, class Finish, class CompletionToken>
auto drive(const executor_type& executor, const std::shared_ptr<registry>& owner, Error* reason,
           Start start, Finish finish, CompletionToken&& token) {
  auto state = std::make_shared<operation_state>(executor, reason);
  return ::asio::async_compose<CompletionToken, Signature>(
      drive_operation<Start, Finish>{std::move(state), owner, std::move(start), std::move(finish)},
      token, executor);
}

// Finishers: the results of a DONE operation, or the defaults beside a failure.
struct finish_lookup {
  template <class Self>
  void done(Self& self, operation_state& s) {
    std::string value = s.op->value();
    s.op.reset();
    self.complete(std::error_code(), std::move(value));
  }
  template <class Self>
  void fail(Self& self, const std::error_code& code) {
    self.complete(code, std::string());
  }
};

struct finish_generate {
  template <class Self>
  void done(Self& self, operation_state& s) {
    FullDestination made = s.op->destination();
    s.op.reset();
    self.complete(std::error_code(), std::move(made));
  }
  template <class Self>
  void fail(Self& self, const std::error_code& code) {
    self.complete(code, FullDestination());
  }
};

struct finish_forward {
  template <class Self>
  void done(Self& self, operation_state& s) {
    s.op.reset();
    self.complete(std::error_code());
  }
  template <class Self>
  void fail(Self& self, const std::error_code& code) {
    self.complete(code);
  }
};

// A stream: the operation's descriptor, now a tcp::socket of the program's. Nothing past the
// bridge's lines was read from it, so the socket holds every byte of the stream.
inline std::error_code take_stream(operation_state& s, ::asio::ip::tcp::socket& stream) {
  std::string kept;  // always "" (see Operation::releaseDescriptor)
  const int fd = s.op->releaseDescriptor(kept);
  std::error_code failed;
  stream.assign(::asio::ip::tcp::v4(), fd, failed);
  if (failed) ::close(fd);
  return failed;
}

struct finish_connect {
  executor_type executor;
  template <class Self>
  void done(Self& self, operation_state& s) {
    ::asio::ip::tcp::socket stream(executor);
    const std::error_code failed = take_stream(s, stream);
    s.op.reset();
    self.complete(failed, std::move(stream));
  }
  template <class Self>
  void fail(Self& self, const std::error_code& code) {
    self.complete(code, ::asio::ip::tcp::socket(executor));
  }
};

struct finish_accept {
  executor_type executor;
  template <class Self>
  void done(Self& self, operation_state& s) {
    ::asio::ip::tcp::socket stream(executor);
    const std::error_code failed = take_stream(s, stream);
    std::string peer = s.op->peerDestination();
    s.op.reset();
    self.complete(failed, std::move(stream), std::move(peer));
  }
  template <class Self>
  void fail(Self& self, const std::error_code& code) {
    self.complete(code, ::asio::ip::tcp::socket(executor), std::string());
  }
};

// Waits until the session is found lost.
struct wait_lost_op {
  std::shared_ptr<session_core> core;
  std::shared_ptr<pending_op> state;
  bool started = false;

  template <class Self>
  void operator()(Self& self, const std::error_code& = std::error_code()) {
    if (!started) {
      started = true;
      state->join(core->pending);
      state->wants_loss = true;
      core->watch_control();
      if (core->loss) return ::asio::post(std::move(self));
      return state->sleep_ms(-1, std::move(self));
    }
    // A loss seen before a cancellation is what the program is told.
    if (core->loss || cancelled(self, *state)) {
      state->leave();
      core->unwatch_unless_wanted();
      return self.complete(core->loss ? core->loss : ::asio::error::operation_aborted);
    }
    state->sleep_ms(-1, std::move(self));
  }
};

}  // namespace detail
/// \endcond

/// What a stream session and a datagram session have alike: the library's session object, its
/// executor, the requests that do not name the session, and the watch of its end. Movable, not
/// copyable; a moved-from object is empty (is_open() false) and may only be assigned or
/// destroyed.
template <class Session>
class session_base {
 public:
  /// The executor on which the session's operations and their handlers run.
  using executor_type = ::asio::any_io_executor;

  /// The executor given at construction.
  executor_type get_executor() const { return executor_; }
  /// True while the object holds a session: false after close(), after a move, and for the
  /// result of a failed creation.
  bool is_open() const { return core_ && core_->session; }
  /// The library's session (its destination, its last error, its blocking requests).
  /// REQUIRES: is_open(). CAVEAT: while async_wait_lost() or a session_keeper watches the
  /// session, end it through close(), not through the session's closeControlConnection() or
  /// stopForwardingAll().
  Session& session() { return static_cast<Session&>(*core_->session); }
  /// As above, for reading.
  const Session& session() const { return static_cast<const Session&>(*core_->session); }

  /// Ends every pending operation of the session: each completes with
  /// asio::error::operation_aborted and its connection to the bridge is closed. The session
  /// stays as it is.
  void cancel() {
    if (core_) core_->pending->abort_all();
  }
  /// cancel(), then ends the session at the bridge and destroys the library's session.
  /// Streams handed out earlier stay open. Harmless when not open.
  void close() {
    if (core_) core_->close();
  }

  /// Resolves `name` (a name of the router's address book, or a .b32.i2p address), as
  /// Session::namingLookup(). Completes with `void(std::error_code, std::string destination)`;
  /// on i2pd an unknown name is error::invalid_key.
  template <class CompletionToken>
  auto async_lookup(const std::string& name, CompletionToken&& token) {
    return start_lookup(name, nullptr, std::forward<CompletionToken>(token));
  }
  /// As above, setting `reason` (see the file's comment).
  template <class CompletionToken>
  auto async_lookup(const std::string& name, Error& reason, CompletionToken&& token) {
    return start_lookup(name, &reason, std::forward<CompletionToken>(token));
  }

  /// Asks the bridge for a new destination, as Session::destGenerate(). Completes with
  /// `void(std::error_code, SAM::FullDestination)`.
  template <class CompletionToken>
  auto async_generate(CompletionToken&& token) {
    return start_generate(nullptr, std::forward<CompletionToken>(token));
  }
  /// As above, setting `reason`.
  template <class CompletionToken>
  auto async_generate(Error& reason, CompletionToken&& token) {
    return start_generate(&reason, std::forward<CompletionToken>(token));
  }

  /// Waits until the session is lost: its control connection ended (the router went away or
  /// the bridge ended the session), or it is sick. Completes with `void(std::error_code)`: the
  /// loss (error::closed, or error::io for a reset), at once for a session already sick or
  /// closed, or asio::error::operation_aborted when cancelled. The session is then sick, and
  /// its reason is in session().getLastError(). Sends nothing; any number may wait.
  template <class CompletionToken>
  auto async_wait_lost(CompletionToken&& token) {
    if (!core_) core_ = empty_core();
    return ::asio::async_compose<CompletionToken, void(std::error_code)>(
        detail::wait_lost_op{core_, std::make_shared<detail::pending_op>(core_->executor)}, token,
        core_->executor);
  }

  /// Takes `other`'s session; `other` is left empty, on the same executor.
  session_base(session_base&& other) noexcept
      : executor_(other.executor_), core_(std::move(other.core_)) {}
  /// Closes the session held (see close()) and takes `other`'s.
  session_base& operator=(session_base&& other) noexcept {
    if (this != &other) {
      close();
      executor_ = other.executor_;
      core_ = std::move(other.core_);
    }
    return *this;
  }

 protected:
  /// Takes `session` over (null: an empty object on `executor`).
  session_base(const executor_type& executor, std::unique_ptr<Session> session)
      : executor_(executor),
        core_(std::make_shared<detail::session_core>(executor, std::move(session))) {}
  /// close().
  ~session_base() { close(); }

  /// The request `start` makes on the session, driven to its end.
  template <class Signature, class Start, class Finish, class CompletionToken>
  auto drive(Error* reason, Start start, Finish finish, CompletionToken&& token) {
    if (!core_) core_ = empty_core();
    std::weak_ptr<detail::session_core> weak = core_;
    return detail::drive<Signature>(
        core_->executor, core_->pending, reason,
        [weak, start]() -> std::unique_ptr<Operation> {
          const std::shared_ptr<detail::session_core> core = weak.lock();
          if (!core || !core->session) return nullptr;
          return start(static_cast<Session&>(*core->session));
        },
        std::move(finish), std::forward<CompletionToken>(token));
  }

  /// The core of an object left empty by a move, when it is used all the same: every request
  /// then fails with error::closed.
  std::shared_ptr<detail::session_core> empty_core() const {
    return std::make_shared<detail::session_core>(executor_, nullptr);
  }

  executor_type executor_;                      ///< given at construction
  std::shared_ptr<detail::session_core> core_;  ///< shared with the pending operations

 private:
  template <class CompletionToken>
  auto start_lookup(const std::string& name, Error* reason, CompletionToken&& token) {
    return drive<void(std::error_code, std::string)>(
        reason, [name](Session& s) { return Operation::startNamingLookup(s, name); },
        detail::finish_lookup(), std::forward<CompletionToken>(token));
  }
  template <class CompletionToken>
  auto start_generate(Error* reason, CompletionToken&& token) {
    return drive<void(std::error_code, FullDestination)>(
        reason, [](Session& s) { return Operation::startDestGenerate(s); },
        detail::finish_generate(), std::forward<CompletionToken>(token));
  }
};

/// A SAM STREAM session in an asio program: the library's StreamSession with its requests as
/// asynchronous operations. Made by async_create_stream_session(), or around a session made
/// otherwise. Destruction ends the session at the bridge (see close()).
class stream_session : public session_base<StreamSession> {
 public:
  /// Takes `session` over (null: an empty object); its operations run on `executor`.
  stream_session(const executor_type& executor, std::unique_ptr<StreamSession> session)
      : session_base(executor, std::move(session)) {}
  /// An empty object (is_open() false) on `executor`.
  explicit stream_session(const executor_type& executor) : session_base(executor, nullptr) {}

  /// Opens a stream to `destination` (a public destination, or a name the bridge resolves), as
  /// StreamSession::connect() with `silent` false. Completes with
  /// `void(std::error_code, asio::ip::tcp::socket)`: the socket is the stream, on the session's
  /// executor, and its first byte is the peer's first byte (a status line that came glued to it
  /// was read exactly to its end).
  template <class CompletionToken>
  auto async_connect(const std::string& destination, CompletionToken&& token) {
    return start_connect(destination, nullptr, std::forward<CompletionToken>(token));
  }
  /// As above, setting `reason`.
  template <class CompletionToken>
  auto async_connect(const std::string& destination, Error& reason, CompletionToken&& token) {
    return start_connect(destination, &reason, std::forward<CompletionToken>(token));
  }

  /// Waits for a peer's stream, as StreamSession::accept() with `silent` false followed by the
  /// read of the peer's line. Completes with
  /// `void(std::error_code, asio::ip::tcp::socket, std::string peer)`, `peer` being the peer's
  /// public destination, once the peer has come; the wait for it is bounded by the read limit.
  /// Accepts of one session go to the bridge one after another (see Operation::startAccept):
  /// any number may be pending.
  template <class CompletionToken>
  auto async_accept(CompletionToken&& token) {
    return start_accept(nullptr, std::forward<CompletionToken>(token));
  }
  /// As above, setting `reason`.
  template <class CompletionToken>
  auto async_accept(Error& reason, CompletionToken&& token) {
    return start_accept(&reason, std::forward<CompletionToken>(token));
  }

  /// Asks the bridge to pass every incoming stream to `host`:`port`, as StreamSession::forward().
  /// Completes with `void(std::error_code)`; the forward then belongs to the session.
  template <class CompletionToken>
  auto async_forward(const std::string& host, uint16_t port, bool silent, CompletionToken&& token) {
    return start_forward(host, port, silent, nullptr, std::forward<CompletionToken>(token));
  }
  /// As above, setting `reason`.
  template <class CompletionToken>
  auto async_forward(const std::string& host, uint16_t port, bool silent, Error& reason,
                     CompletionToken&& token) {
    return start_forward(host, port, silent, &reason, std::forward<CompletionToken>(token));
  }

 private:
  template <class CompletionToken>
  auto start_connect(const std::string& destination, Error* reason, CompletionToken&& token) {
    return drive<void(std::error_code, ::asio::ip::tcp::socket)>(
        reason,
        [destination](StreamSession& s) { return Operation::startConnect(s, destination, false); },
        detail::finish_connect{get_executor()}, std::forward<CompletionToken>(token));
  }
  template <class CompletionToken>
  auto start_accept(Error* reason, CompletionToken&& token) {
    return drive<void(std::error_code, ::asio::ip::tcp::socket, std::string)>(
        reason, [](StreamSession& s) { return Operation::startAccept(s, false); },
        detail::finish_accept{get_executor()}, std::forward<CompletionToken>(token));
  }
  template <class CompletionToken>
  auto start_forward(const std::string& host, uint16_t port, bool silent, Error* reason,
                     CompletionToken&& token) {
    return drive<void(std::error_code)>(
        reason,
        [host, port, silent](StreamSession& s) {
          return Operation::startForward(s, host, port, silent);
        },
        detail::finish_forward(), std::forward<CompletionToken>(token));
  }
};

/// \cond VELQOR_INTERNAL
namespace detail {

// A datagram sent or received: a wait for the UDP socket, then the library's send() or
// receive(), which then neither waits nor blocks.
struct datagram_state final : pending_op {
  datagram_state(const std::shared_ptr<session_core>& core, Error* reason)
      : pending_op(core->executor), core(core), reason(reason) {}
  ~datagram_state() override { unwatch(); }
  std::shared_ptr<session_core> core;
  Error* reason;
  std::chrono::steady_clock::time_point until;

  DatagramSession& session() { return static_cast<DatagramSession&>(*core->session); }
  // asio's wait object for the session's UDP socket, made once.
  std::error_code follow(wait_type type) {
    std::error_code failed;
    if (!core->udp.is_open()) core->udp.assign(session().getUdpDescriptor(), failed);
    if (!failed) watch(core->udp, type);
    return failed;
  }
  void set(const Error& why) {
    if (reason != nullptr) *reason = why;
  }
};

// The datagram at the head of the UDP socket's queue: whether one is there, and whether the
// bridge's UDP port sent it (the library's receive() drops anything else, and would then wait
// for the next one: such datagrams are dropped here instead).
inline bool bridge_datagram_ready(DatagramSession& session) {
  for (;;) {
    sockaddr_in from{};
    socklen_t length = sizeof from;
    char byte;
    const ssize_t got = ::recvfrom(session.getUdpDescriptor(), &byte, 1, MSG_PEEK | MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&from), &length);
    if (got < 0) return errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
    if (from.sin_addr.s_addr == session.getSAMAddress().sin_addr.s_addr &&
        from.sin_port == htons(session.getBridgeUdpPort())) {
      return true;
    }
    ::recv(session.getUdpDescriptor(), &byte, 1, MSG_DONTWAIT);  // not the bridge's: dropped
  }
}

struct receive_op {
  std::shared_ptr<datagram_state> state;
  bool started = false;

  template <class Self>
  void operator()(Self& self, const std::error_code& = std::error_code()) {
    datagram_state& s = *state;
    if (!started) {
      started = true;
      s.join(s.core->pending);
      if (s.core->session) {
        s.wants_loss = true;
        s.core->watch_control();
        const TimeLimits& limits = s.session().getTimeLimits();
        s.until = end_of(limits.read, limits.deadline);
      }
      return ::asio::post(std::move(self));
    }
    if (cancelled(self, s)) {
      s.set(cancelledReason());
      return end(self, ::asio::error::operation_aborted, Datagram());
    }
    if (!s.core->session) {
      s.set(closedReason());
      return end(self, make_error_code(error::closed), Datagram());
    }
    if (s.core->loss) {
      s.set(s.core->lossReason);
      return end(self, s.core->loss, Datagram());
    }
    if (bridge_datagram_ready(s.session())) {
      s.core->pause_watch();
      RequestResult<Datagram> got = s.session().receive();
      s.core->resume_watch();
      const Error why = got.isOk ? Error() : s.session().getLastError();
      s.set(why);
      return end(self, to_error_code(why), std::move(got.value));
    }
    if (std::chrono::steady_clock::now() >= s.until) {
      const TimeLimits& limits = s.session().getTimeLimits();
      const Error why{ErrorCode::TIMED_OUT, Message::DEADLINE_EXCEEDED, 0,
                      "datagram receive: nothing came " +
                          (limits.read.count() > 0 && s.until < limits.deadline
                               ? "within " + std::to_string(limits.read.count()) + " ms"
                               : std::string("before the deadline"))};
      s.set(why);
      return end(self, to_error_code(why), Datagram());
    }
    if (!s.waiting) {
      if (const std::error_code failed = s.follow(::asio::posix::stream_descriptor::wait_read)) {
        s.set(
            {ErrorCode::IO, Message::OK, failed.value(), "datagram receive: " + failed.message()});
        return end(self, failed, Datagram());
      }
    }
    s.sleep_until(s.until, std::move(self));
  }

  template <class Self>
  void end(Self& self, const std::error_code& code, Datagram datagram) {
    state->unwatch();
    state->leave();
    state->core->unwatch_unless_wanted();
    self.complete(code, std::move(datagram));
  }
};

struct send_op {
  std::shared_ptr<datagram_state> state;
  std::string destination;
  std::string payload;
  bool started = false, armed = false;

  template <class Self>
  void operator()(Self& self, const std::error_code& = std::error_code()) {
    datagram_state& s = *state;
    if (!started) {
      started = true;
      s.join(s.core->pending);
      return ::asio::post(std::move(self));
    }
    if (cancelled(self, s)) {
      s.set(cancelledReason());
      return end(self, ::asio::error::operation_aborted);
    }
    if (!s.core->session) {
      s.set(closedReason());
      return end(self, make_error_code(error::closed));
    }
    if (!armed) {  // waits until the UDP socket takes a datagram, within the write limit
      armed = true;
      const TimeLimits& limits = s.session().getTimeLimits();
      s.until = end_of(limits.write, limits.deadline);
      if (const std::error_code failed = s.follow(::asio::posix::stream_descriptor::wait_write)) {
        s.set({ErrorCode::IO, Message::OK, failed.value(), "datagram send: " + failed.message()});
        return end(self, failed);
      }
      return s.sleep_until(s.until, std::move(self));
    }
    if (!s.waiting) {  // writable: the library's send() takes the datagram at once
      s.core->pause_watch();
      const bool sent = s.session().send(destination, payload).isOk;
      s.core->resume_watch();
      const Error why = sent ? Error() : s.session().getLastError();
      s.set(why);
      return end(self, to_error_code(why));
    }
    if (std::chrono::steady_clock::now() >= s.until) {
      const Error why{ErrorCode::TIMED_OUT, Message::DEADLINE_EXCEEDED, 0,
                      "datagram send: not sent in time"};
      s.set(why);
      return end(self, to_error_code(why));
    }
    s.sleep_until(s.until, std::move(self));
  }

  template <class Self>
  void end(Self& self, const std::error_code& code) {
    state->unwatch();
    state->leave();
    self.complete(code);
  }
};

}  // namespace detail
/// \endcond

/// A SAM DATAGRAM or RAW session in an asio program: the library's DatagramSession, whose UDP
/// socket the adapter watches, with sends and receives as asynchronous operations. Made by
/// async_create_datagram_session(), or around a session made otherwise.
class datagram_session : public session_base<DatagramSession> {
 public:
  /// Takes `session` over (null: an empty object); its operations run on `executor`.
  datagram_session(const executor_type& executor, std::unique_ptr<DatagramSession> session)
      : session_base(executor, std::move(session)) {}
  /// An empty object (is_open() false) on `executor`.
  explicit datagram_session(const executor_type& executor) : session_base(executor, nullptr) {}

  /// Sends `payload` to `destination` (a full public destination) as one datagram, as
  /// DatagramSession::send(), once the UDP socket takes it (within the write limit). The bytes
  /// are copied at the start. Completes with `void(std::error_code)`: success means the
  /// bridge's UDP port took it, not that it arrived.
  template <class CompletionToken>
  auto async_send(const std::string& destination, ::asio::const_buffer payload,
                  CompletionToken&& token) {
    return start_send(destination, payload, nullptr, std::forward<CompletionToken>(token));
  }
  /// As above, setting `reason`.
  template <class CompletionToken>
  auto async_send(const std::string& destination, ::asio::const_buffer payload, Error& reason,
                  CompletionToken&& token) {
    return start_send(destination, payload, &reason, std::forward<CompletionToken>(token));
  }

  /// Waits for the next datagram from the bridge, as DatagramSession::receive(): datagrams from
  /// other senders are dropped, the wait is bounded by the read limit, and it ends with the
  /// session's loss when the bridge ends the session. Completes with
  /// `void(std::error_code, SAM::Datagram)`.
  template <class CompletionToken>
  auto async_receive(CompletionToken&& token) {
    return start_receive(nullptr, std::forward<CompletionToken>(token));
  }
  /// As above, setting `reason`.
  template <class CompletionToken>
  auto async_receive(Error& reason, CompletionToken&& token) {
    return start_receive(&reason, std::forward<CompletionToken>(token));
  }

 private:
  template <class CompletionToken>
  auto start_send(const std::string& destination, ::asio::const_buffer payload, Error* reason,
                  CompletionToken&& token) {
    if (!core_) core_ = empty_core();
    return ::asio::async_compose<CompletionToken, void(std::error_code)>(
        detail::send_op{std::make_shared<detail::datagram_state>(core_, reason), destination,
                        std::string(static_cast<const char*>(payload.data()), payload.size())},
        token, core_->executor);
  }
  template <class CompletionToken>
  auto start_receive(Error* reason, CompletionToken&& token) {
    if (!core_) core_ = empty_core();
    return ::asio::async_compose<CompletionToken, void(std::error_code, Datagram)>(
        detail::receive_op{std::make_shared<detail::datagram_state>(core_, reason)}, token,
        core_->executor);
  }
};

/// \cond VELQOR_INTERNAL
namespace detail {

struct finish_stream_session {
  executor_type executor;
  template <class Self>
  void done(Self& self, operation_state& s) {
    stream_session made(executor, s.op->takeStreamSession());
    s.op.reset();
    self.complete(std::error_code(), std::move(made));
  }
  template <class Self>
  void fail(Self& self, const std::error_code& code) {
    self.complete(code, stream_session(executor));
  }
};

struct finish_datagram_session {
  executor_type executor;
  template <class Self>
  void done(Self& self, operation_state& s) {
    datagram_session made(executor, s.op->takeDatagramSession());
    s.op.reset();
    self.complete(std::error_code(), std::move(made));
  }
  template <class Self>
  void fail(Self& self, const std::error_code& code) {
    self.complete(code, datagram_session(executor));
  }
};

template <class CompletionToken>
auto create_stream_session(const executor_type& executor, const std::shared_ptr<registry>& owner,
                           const session_settings& settings, Error* reason,
                           CompletionToken&& token) {
  return drive<void(std::error_code, stream_session)>(
      executor, owner, reason,
      [settings] {
        return Operation::startStreamSession(settings.nickname, settings.host, settings.port,
                                             settings.destination, settings.options,
                                             settings.limits);
      },
      finish_stream_session{executor}, std::forward<CompletionToken>(token));
}

template <class CompletionToken>
auto create_datagram_session(const executor_type& executor, const session_settings& settings,
                             Message::SessionStyle style, Error* reason, CompletionToken&& token) {
  return drive<void(std::error_code, datagram_session)>(
      executor, nullptr, reason,
      [settings, style] {
        return Operation::startDatagramSession(settings.nickname, settings.host, settings.port,
                                               style, settings.destination, settings.options,
                                               settings.limits);
      },
      finish_datagram_session{executor}, std::forward<CompletionToken>(token));
}

}  // namespace detail
/// \endcond

/// Creates a SAM STREAM session as StreamSession's constructor does, bounded by
/// `settings.limits`. Completes with `void(std::error_code, stream_session)`: on success an
/// open session on `executor`, on failure an empty one. A creation cancelled half way leaves
/// nothing at the bridge (its connection is closed, which ends a session made meanwhile).
template <class CompletionToken>
auto async_create_stream_session(const ::asio::any_io_executor& executor,
                                 const session_settings& settings, CompletionToken&& token) {
  return detail::create_stream_session(executor, nullptr, settings, nullptr,
                                       std::forward<CompletionToken>(token));
}
/// As above, setting `reason` (see the file's comment).
template <class CompletionToken>
auto async_create_stream_session(const ::asio::any_io_executor& executor,
                                 const session_settings& settings, Error& reason,
                                 CompletionToken&& token) {
  return detail::create_stream_session(executor, nullptr, settings, &reason,
                                       std::forward<CompletionToken>(token));
}

/// Creates a SAM DATAGRAM or RAW session (`style`) as DatagramSession's constructor does, its
/// UDP socket included, bounded by `settings.limits`; Message::STREAM fails with
/// error::argument. Completes with `void(std::error_code, datagram_session)`.
template <class CompletionToken>
auto async_create_datagram_session(const ::asio::any_io_executor& executor,
                                   const session_settings& settings, Message::SessionStyle style,
                                   CompletionToken&& token) {
  return detail::create_datagram_session(executor, settings, style, nullptr,
                                         std::forward<CompletionToken>(token));
}
/// As above, setting `reason`.
template <class CompletionToken>
auto async_create_datagram_session(const ::asio::any_io_executor& executor,
                                   const session_settings& settings, Message::SessionStyle style,
                                   Error& reason, CompletionToken&& token) {
  return detail::create_datagram_session(executor, settings, style, &reason,
                                         std::forward<CompletionToken>(token));
}

/// \cond VELQOR_INTERNAL
namespace detail {

struct forward_entry {
  std::string host;
  uint16_t port;
  bool silent;
};

// What a keeper holds, shared with its pending operations.
struct keeper_core {
  using Listener = std::function<void(SessionKeeper::State, const Error&)>;
  keeper_core(const executor_type& executor, stream_session kept, const session_settings& settings)
      : executor(executor),
        session(std::move(kept)),
        candidate(executor),
        settings(settings),
        pending(std::make_shared<registry>()) {}

  executor_type executor;
  stream_session session;
  stream_session candidate;   // a rebuilt session while its forwards are made again
  session_settings settings;  // of the next rebuild
  std::vector<forward_entry> forwards;
  Listener listener;
  std::chrono::milliseconds releaseDelay = SessionKeeper::defaultReleaseDelay;
  std::chrono::milliseconds nextBackoff = SessionKeeper::firstBackoff;
  std::chrono::milliseconds scheduled{0};
  bool created = false;  // the session was made at the bridge, so the router may hold it
  bool seenHealthy = false;
  bool keeping = false;  // an async_keep is pending
  bool closed = false;
  Error reason;  // of the attempt under way
  std::shared_ptr<registry> pending;

  void report(SessionKeeper::State state, const Error& why) const {
    if (listener) listener(state, why);
  }
  // The settings of a rebuild: those of the session held, if any.
  void remember(const Session& s) {
    settings.nickname = s.getNickname();
    settings.host = s.getSAMHost();
    settings.port = s.getSAMPort();
    settings.options = s.getOptions();
    settings.limits = s.getTimeLimits();
    const std::string& priv = s.getMyDestination().priv;
    settings.destination = priv.empty() ? "TRANSIENT" : priv;
  }
};

struct keep_op {
  enum class phase { start, refused, watch, delay, create, forward };
  std::shared_ptr<keeper_core> core;
  std::shared_ptr<pending_op> waiter;  // the release delay and the back-off
  phase now = phase::start;
  std::size_t next = 0;  // the forward being made again

  template <class Self>
  void operator()(Self& self, const std::error_code& ec = std::error_code()) {
    keeper_core& k = *core;
    if (now == phase::refused) return self.complete(::asio::error::already_started);
    if (now != phase::start && (k.closed || cancelled(self, *waiter))) return end(self, true);
    switch (now) {
      case phase::start:
        if (k.keeping) {  // another one keeps the session: this one touches nothing
          now = phase::refused;
          return ::asio::post(std::move(self));
        }
        k.keeping = true;
        waiter->join(k.pending);
        if (!k.session.is_open() || k.session.session().isSick()) return lose(self);
        if (!k.seenHealthy) k.report(SessionKeeper::State::HEALTHY, Error());
        k.seenHealthy = true;
        k.created = true;
        return watch(self);
      case phase::watch:
        // Aborted: the program cancelled the session's operations; a session it closed is lost.
        if (ec == ::asio::error::operation_aborted && k.session.is_open() &&
            !k.session.session().isSick()) {
          return watch(self);
        }
        return lose(self);
      case phase::delay:
        return attempt(self);
      case phase::forward:
        if (ec) return failed(self);
        ++next;
        return forward(self);
      case phase::refused:
      case phase::create:  // a creation ends in the overload below
        return;
    }
  }

  // A creation ended.
  template <class Self>
  void operator()(Self& self, const std::error_code& ec, stream_session made) {
    keeper_core& k = *core;
    if (k.closed || cancelled(self, *waiter)) return end(self, true);
    if (ec) return failed(self);
    k.candidate = std::move(made);
    next = 0;
    forward(self);
  }

  template <class Self>
  void watch(Self& self) {
    now = phase::watch;
    core->session.async_wait_lost(std::move(self));
  }

  template <class Self>
  void lose(Self& self) {
    keeper_core& k = *core;
    const Error why = k.session.is_open() ? k.session.session().getLastError() : closedReason();
    if (k.session.is_open()) k.remember(k.session.session());
    // Ended at the bridge before the first attempt: the router may hold the destination of a
    // session that existed, and would give it to the rebuilt one unpublished.
    k.session.close();
    k.scheduled = k.created ? k.releaseDelay : std::chrono::milliseconds(0);
    k.report(SessionKeeper::State::REBUILDING, why);
    wait(self);
  }

  template <class Self>
  void wait(Self& self) {
    now = phase::delay;
    waiter->sleep_until(std::chrono::steady_clock::now() + core->scheduled, std::move(self));
  }

  template <class Self>
  void attempt(Self& self) {
    now = phase::create;
    core->reason = Error();
    create_stream_session(core->executor, core->pending, core->settings, &core->reason,
                          std::move(self));
  }

  template <class Self>
  void forward(Self& self) {
    keeper_core& k = *core;
    if (next == k.forwards.size()) return rebuilt(self);
    now = phase::forward;
    const forward_entry& f = k.forwards[next];
    k.candidate.async_forward(f.host, f.port, f.silent, k.reason, std::move(self));
  }

  template <class Self>
  void failed(Self& self) {
    keeper_core& k = *core;
    k.candidate.close();
    k.scheduled = k.nextBackoff;
    k.nextBackoff = std::min(k.nextBackoff * 2, SessionKeeper::longestBackoff);
    k.report(SessionKeeper::State::ATTEMPT_FAILED, k.reason);
    wait(self);
  }

  template <class Self>
  void rebuilt(Self& self) {
    keeper_core& k = *core;
    k.session = std::move(k.candidate);
    k.candidate = stream_session(k.executor);
    k.remember(k.session.session());
    k.created = true;
    k.nextBackoff = SessionKeeper::firstBackoff;
    k.scheduled = std::chrono::milliseconds(0);
    k.report(SessionKeeper::State::REBUILT, Error());
    end(self, false);
  }

  template <class Self>
  void end(Self& self, bool aborted) {
    waiter->leave();
    core->keeping = false;
    if (aborted) core->candidate.close();
    self.complete(aborted ? std::error_code(::asio::error::operation_aborted) : std::error_code());
  }
};

struct keeper_forward_op {
  std::shared_ptr<keeper_core> core;
  forward_entry entry;
  Error* reason;
  bool started = false;

  template <class Self>
  void operator()(Self& self, const std::error_code& ec = std::error_code()) {
    if (!started) {
      started = true;
      if (!core->session.is_open() || core->closed) return ::asio::post(std::move(self));
      if (reason != nullptr)
        return core->session.async_forward(entry.host, entry.port, entry.silent, *reason,
                                           std::move(self));
      return core->session.async_forward(entry.host, entry.port, entry.silent, std::move(self));
    }
    if (!core->session.is_open() && !ec) {
      if (reason != nullptr) *reason = closedReason();
      return self.complete(make_error_code(error::closed));
    }
    if (!ec) core->forwards.push_back(entry);
    self.complete(ec);
  }
};

}  // namespace detail
/// \endcond

/// Holds a stream session and rebuilds it when it is lost, as SAM::SessionKeeper does, in an
/// asio program: it watches the session's control connection, and every wait and every
/// attempt runs in the loop, so nothing blocks.
///
///  1. async_keep() watches the session. Once it is lost (the router went away, the bridge
///     ended it, or it is sick), it reports REBUILDING, ends the session at the bridge and
///     waits the release delay (10 s unless set; none when the lost session had never been
///     made at the bridge), then makes a new session with the same nickname, bridge, options,
///     limits and destination (a TRANSIENT one keeps the destination the bridge gave it), and
///     makes the forwards registered through async_forward() again, in order.
///  2. A failed attempt (the creation or a forward) is reported with ATTEMPT_FAILED and
///     followed by a wait of SessionKeeper::firstBackoff, doubling after each further failure
///     up to SessionKeeper::longestBackoff; a success starts the sequence again.
///  3. session() is the same object throughout; during a rebuild it is empty (is_open()
///     false), and a rebuild gives it the new session, ending the old one's pending
///     operations with asio::error::operation_aborted. Streams handed out earlier stay open.
///  4. Give the session connect and reply limits: they bound each attempt.
/// Destruction ends a pending async_keep() or async_forward() with
/// asio::error::operation_aborted and closes the session.
class session_keeper {
 public:
  /// The executor on which the keeper's operations and their handlers run.
  using executor_type = ::asio::any_io_executor;
  /// Told each change of the keeper's view, as SessionKeeper::Listener: the new state and its
  /// reason (code NONE for HEALTHY and REBUILT). Called from the keeper's operations, in the
  /// loop; it may read session() and backoff().
  using listener = std::function<void(SessionKeeper::State state, const Error& reason)>;

  /// Keeps `session`, on its executor. One that is not open (a failed creation) has nothing to
  /// be made again from: use the constructor with settings for it.
  explicit session_keeper(stream_session session)
      : core_(std::make_shared<detail::keeper_core>(session.get_executor(), std::move(session),
                                                    session_settings())) {
    if (core_->session.is_open()) core_->remember(core_->session.session());
  }
  /// Keeps a session made with `settings`, which the first async_keep() makes (at once, with
  /// the back-off after failures): for a program that starts before its router.
  session_keeper(const executor_type& executor, const session_settings& settings)
      : core_(std::make_shared<detail::keeper_core>(executor, stream_session(executor), settings)) {
  }
  session_keeper(const session_keeper&) = delete;
  session_keeper& operator=(const session_keeper&) = delete;
  /// Ends every pending operation of the keeper (operation_aborted) and closes the session.
  ~session_keeper() {
    core_->closed = true;
    core_->pending->abort_all();
    core_->candidate.close();
    core_->session.close();
  }

  /// The session kept: the same object across rebuilds (see 3. above).
  stream_session& session() { return core_->session; }
  /// The wait scheduled before the next attempt, as SessionKeeper::backoff().
  std::chrono::milliseconds backoff() const { return core_->scheduled; }
  /// Replaces the listener; an empty one reports nothing.
  void set_listener(listener l) { core_->listener = std::move(l); }
  /// Sets the wait between the loss of a session made at the bridge and the first attempt
  /// (negative counts as zero).
  void set_release_delay(std::chrono::milliseconds delay) {
    core_->releaseDelay = std::max(delay, std::chrono::milliseconds(0));
  }

  /// Keeps the session until it has been lost and rebuilt (see 1. and 2. above): completes with
  /// `void(std::error_code)`, empty once a rebuild succeeded (call it again to go on keeping),
  /// asio::error::operation_aborted when cancelled or when the keeper is destroyed,
  /// asio::error::already_started when another async_keep() is pending. It never gives up on
  /// its own.
  template <class CompletionToken>
  auto async_keep(CompletionToken&& token) {
    return ::asio::async_compose<CompletionToken, void(std::error_code)>(
        detail::keep_op{core_, std::make_shared<detail::pending_op>(core_->executor)}, token,
        core_->executor);
  }

  /// Makes a forward on the session, as stream_session::async_forward(), and once it is made
  /// registers it so that each rebuild makes it again. Completes with `void(std::error_code)`;
  /// error::closed when the keeper has no open session now (during a rebuild).
  template <class CompletionToken>
  auto async_forward(const std::string& host, uint16_t port, bool silent, CompletionToken&& token) {
    return start_forward(host, port, silent, nullptr, std::forward<CompletionToken>(token));
  }
  /// As above, setting `reason`.
  template <class CompletionToken>
  auto async_forward(const std::string& host, uint16_t port, bool silent, Error& reason,
                     CompletionToken&& token) {
    return start_forward(host, port, silent, &reason, std::forward<CompletionToken>(token));
  }

 private:
  template <class CompletionToken>
  auto start_forward(const std::string& host, uint16_t port, bool silent, Error* reason,
                     CompletionToken&& token) {
    return ::asio::async_compose<CompletionToken, void(std::error_code)>(
        detail::keeper_forward_op{core_, {host, port, silent}, reason}, token, core_->executor);
  }

  std::shared_ptr<detail::keeper_core> core_;
};

}  // namespace asio
}  // namespace SAM

#endif  // VELQOR_ASIO_HPP
