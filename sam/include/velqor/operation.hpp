/// \file
/// Operations that a caller's event loop drives: many SAM exchanges in one thread, without
/// blocking. Part of <velqor/sam.hpp>.
#ifndef VELQOR_OPERATION_HPP
#define VELQOR_OPERATION_HPP

#include <velqor/export.h>
#include <velqor/destination.hpp>
#include <velqor/error.hpp>
#include <velqor/i2p_socket.hpp>
#include <velqor/message.hpp>
#include <velqor/settings.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace SAM {

class DatagramSession;
class Session;
class StreamSession;

/// One exchange with the bridge that runs without ever blocking: the TCP connect to the bridge,
/// the HELLO, one request and its reply, each moved forward by step() when the caller's loop
/// sees the descriptor ready. It ends in the same result, the same Error and the same sick rules
/// as the blocking call it stands for (StreamSession's constructor, namingLookup(), connect(),
/// ...), with the same time limits.
///
/// How to drive one, in the manner of libpq's PQconnectPoll:
///  1. A start function returns at once. The operation is PENDING, or FAILED when it could not
///     even begin (no descriptor, a refused argument): error() then says why.
///  2. While it is PENDING, wait until descriptor() is ready for events() (WAIT_READ: readable,
///     WAIT_WRITE: writable) or until timeoutMs() milliseconds have passed, then call step().
///     A step() too early, or a spurious wake-up, is harmless.
///  3. descriptor() is the same from start to end while the operation holds its connection.
///     events() and timeoutMs() may change with every step(): read them again after each one.
///     An operation ends (DONE or FAILED) only in a step() of its own. Accepts of one session
///     wait for one another (see startAccept): a step() of one sends the next one's line, which
///     can, when the connection does not take those few bytes at once, make the next one wait
///     for WAIT_WRITE instead of WAIT_READ; a loop that builds its poll() set anew before each
///     wait needs to do nothing about it.
///  4. step() returns PENDING, DONE or FAILED. Once DONE or FAILED the operation stays so, and
///     its connection is closed unless the result takes it (a stream of connect or accept
///     until taken, a forward that the session keeps).
///  5. When its limit passes, the operation fails at its next step() with ErrorCode::TIMED_OUT
///     (status Message::DEADLINE_EXCEEDED), as the blocking call would.
///  6. Destroying an operation that is still pending cancels it: its connection is closed and
///     nothing more happens at the bridge's request; the session is not made sick by that.
///  7. Nothing calls back into the caller: there are no callbacks, so nothing re-enters.
///
/// An operation started on a session refers to it while pending, to apply the sick rules and
/// record its last error as the blocking request does. The session may be destroyed first: the
/// operation then goes on without it (a forward then fails, having no session to join).
///
/// Thread safety: an operation and its session belong to one thread at a time.
class VELQOR_EXPORT Operation {
 public:
  /// What step() says of the operation.
  enum class Progress { PENDING = 0, DONE = 1, FAILED = 2 };
  /// What the operation waits for on its descriptor: a bit set of these.
  enum Wait : unsigned { WAIT_NONE = 0, WAIT_READ = 1, WAIT_WRITE = 2 };
  /// Which start function made the operation, and so which result it has.
  enum class Kind {
    STREAM_SESSION,    ///< startStreamSession: takeStreamSession()
    DATAGRAM_SESSION,  ///< startDatagramSession: takeDatagramSession()
    NAMING_LOOKUP,     ///< startNamingLookup: value()
    DEST_GENERATE,     ///< startDestGenerate: destination()
    STREAM_CONNECT,    ///< startConnect: takeSocket() or releaseDescriptor()
    STREAM_ACCEPT,     ///< startAccept: takeSocket() or releaseDescriptor(), peerDestination()
    STREAM_FORWARD,    ///< startForward: the forward joins the session
  };

  /// Creates a SAM STREAM session as StreamSession's constructor does, with `limits` for the
  /// creation and for the session's requests afterwards.
  /// CAVEAT: a `SAMHost` that is a name, not a numeric IPv4 address, is resolved here with the
  /// system's resolver, which may block; a numeric address never does.
  static std::unique_ptr<Operation> startStreamSession(
      const std::string& nickname, const std::string& SAMHost, uint16_t SAMPort,
      const std::string& myDestination = "TRANSIENT", const std::string& i2pOptions = "",
      const TimeLimits& limits = TimeLimits());
  /// Creates a SAM DATAGRAM or RAW session as DatagramSession's constructor does (its UDP
  /// socket included). Message::STREAM fails at once with ErrorCode::ARGUMENT. The CAVEAT of
  /// startStreamSession holds.
  static std::unique_ptr<Operation> startDatagramSession(
      const std::string& nickname, const std::string& SAMHost, uint16_t SAMPort,
      Message::SessionStyle style, const std::string& myDestination = "TRANSIENT",
      const std::string& i2pOptions = "", const TimeLimits& limits = TimeLimits());
  /// Session::namingLookup() without blocking; the value is the name's destination.
  static std::unique_ptr<Operation> startNamingLookup(Session& session, const std::string& name);
  /// Session::destGenerate() without blocking; the result is destination().
  static std::unique_ptr<Operation> startDestGenerate(Session& session);
  /// StreamSession::connect() without blocking; the result is the stream.
  static std::unique_ptr<Operation> startConnect(StreamSession& session,
                                                 const std::string& destination, bool silent);
  /// StreamSession::accept() without blocking, and then the wait for a peer: the operation is
  /// DONE once a peer's stream has come, with `silent` false once its destination line has come
  /// too (peerDestination()); with `silent` true once the accept is sent, as the blocking call.
  /// The wait for the peer is bounded by the session's read limit.
  /// Accepts of one session are sent one after another: the next STREAM ACCEPT goes to the
  /// bridge only once the previous one's status line has come, because i2pd 2.45.1 loses
  /// streams when accepts overlap (it hands a stream to an accept that no longer waits). Any
  /// number may be pending in the library; at most 128 incoming streams wait at i2pd for an
  /// accept, each for 10 s. CAVEAT: seen on i2pd 2.45.1, with 200 accepts waiting: 200 streams
  /// connected to them within a moment lost about 70 (closed at once, in 3 of 3 runs), the same
  /// 200 connected 64 at a time lost none. Peers that are the program's own connect in waves.
  static std::unique_ptr<Operation> startAccept(StreamSession& session, bool silent);
  /// StreamSession::forward() without blocking; on success the forward joins the session's
  /// list, as the blocking call's does.
  static std::unique_ptr<Operation> startForward(StreamSession& session, const std::string& host,
                                                 uint16_t port, bool silent);

  /// Cancels a pending operation (see 6. above).
  ~Operation();
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

  /// Moves the operation on as far as it goes without blocking; see the class comment.
  Progress step();
  /// What the last step() returned (PENDING before the first).
  Progress progress() const;
  /// Which start function made the operation.
  Kind kind() const;

  /// The descriptor to watch, or -1 when the operation holds none (it has ended, or a stream it
  /// made was taken). Owned by the operation: never read, write or close it.
  int descriptor() const;
  /// WAIT_READ and/or WAIT_WRITE while pending; WAIT_NONE once ended.
  unsigned events() const;
  /// Milliseconds until the limit of the phase the operation is in passes (0: it has passed, so
  /// step() now); -1 when no limit applies, and once ended.
  int timeoutMs() const;

  /// Why the operation failed; code NONE unless it has. The reason never holds key material.
  const Error& error() const;

  /// STREAM_SESSION, DONE: the session, once; afterwards (and otherwise) null.
  std::unique_ptr<StreamSession> takeStreamSession();
  /// DATAGRAM_SESSION, DONE: the session, once; afterwards (and otherwise) null.
  std::unique_ptr<DatagramSession> takeDatagramSession();
  /// NAMING_LOOKUP, DONE: the destination the name stands for; "" otherwise.
  const std::string& value() const;
  /// DEST_GENERATE, DONE: the new destination (isGenerated true); empty otherwise.
  const FullDestination& destination() const;
  /// STREAM_CONNECT and STREAM_ACCEPT, DONE: the stream, once, as the blocking call hands it out
  /// (a blocking descriptor, with the session's time limits); afterwards (and otherwise) null.
  std::unique_ptr<I2pSocket> takeSocket();
  /// As takeSocket(), as a bare descriptor for the caller's loop, in non-blocking mode, now the
  /// caller's to close; -1 when there is none. Nothing of the stream is consumed past the
  /// bridge's lines, so `keptBytes` is set to "" (kept for symmetry with I2pSocket::release).
  int releaseDescriptor(std::string& keptBytes);
  /// STREAM_ACCEPT with `silent` false, DONE: the peer's destination (its line without "\n").
  const std::string& peerDestination() const;
  /// True for an accept that the bridge has taken (its status line came) and that now waits for
  /// a peer. A server that expects many peers at once can start its accepts and wait until they
  /// all wait so before the peers come: i2pd 2.45.1 closes incoming streams beyond 128 that find
  /// no accept waiting, and keeps none longer than 10 s.
  bool waitsForPeer() const;

  /// Waits in poll() until at least one of the `count` operations that are pending is ready or
  /// its time has passed, at most `timeoutMs` (-1: no bound of its own), and steps every one
  /// that is. Null entries and ended operations are skipped. Returns how many of them are still
  /// pending. A helper for callers without a loop of their own; interruptions by signals count
  /// as waiting.
  static std::size_t wait(Operation* const* operations, std::size_t count, int timeoutMs);

  struct Core;  ///< The library's own state of the operation.

 private:
  explicit Operation(std::unique_ptr<Core> core);
  std::unique_ptr<Core> core;
};

}  // namespace SAM

#endif  // VELQOR_OPERATION_HPP
