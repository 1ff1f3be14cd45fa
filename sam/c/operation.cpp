// The C interface of operations: thin wrappers over SAM::Operation, and the descriptors and
// line reads that a caller's loop needs besides.
#include <velqor/velqor.h>
#include <velqor/operation.hpp>
#include <velqor/sam.hpp>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "sam/c/guard.hpp"
#include "sam/c/handles.hpp"

struct velqor_operation {
  // Null for an operation refused before it began (unusable settings or arguments): `refusal`
  // then says why.
  std::unique_ptr<SAM::Operation> operation;
  SAM::Error refusal;
};

// The C names are the C++ ones, number for number.
static_assert(VELQOR_DONE == static_cast<int>(SAM::Operation::Progress::DONE), "");
static_assert(VELQOR_FAILED == static_cast<int>(SAM::Operation::Progress::FAILED), "");
static_assert(VELQOR_WAIT_READ == SAM::Operation::WAIT_READ, "");
static_assert(VELQOR_WAIT_WRITE == SAM::Operation::WAIT_WRITE, "");

namespace {

using velqor_c::guarded;

// A handle for `make()`'s operation, or for a refusal with `reason`; nullptr when memory ran out.
template <class Make>
velqor_operation* newOperation(bool usable, const char* reason, Make make) noexcept {
  return guarded<velqor_operation*>(nullptr, [&] {
    std::unique_ptr<velqor_operation> handle(new velqor_operation{});
    if (usable) {
      handle->operation = make();
    } else {
      handle->refusal = {SAM::ErrorCode::ARGUMENT, SAM::Message::OK, 0, reason};
    }
    return handle.release();
  });
}

SAM::Operation* operationOf(const velqor_operation* handle) {
  return handle == nullptr ? nullptr : handle->operation.get();
}

// The operation when it is DONE, else null.
SAM::Operation* doneOperation(const velqor_operation* handle) {
  SAM::Operation* op = operationOf(handle);
  return op != nullptr && op->progress() == SAM::Operation::Progress::DONE ? op : nullptr;
}

const char kUnusableSettings[] = "no session: the settings or one of their strings was NULL";
const char kNullArgument[] = "a NULL argument was given";

}  // namespace

extern "C" {

velqor_operation* velqor_stream_session_start(const velqor_settings* settings,
                                              const velqor_limits* limits) {
  return newOperation(velqor_c::areUsable(settings), kUnusableSettings, [&] {
    return SAM::Operation::startStreamSession(settings->nickname, settings->samhost,
                                              settings->samport, settings->destination,
                                              settings->i2cp_options, velqor_c::limitsOf(limits));
  });
}

velqor_operation* velqor_datagram_session_start(const velqor_settings* settings, int style,
                                                const velqor_limits* limits) {
  return newOperation(velqor_c::areUsable(settings), kUnusableSettings, [&] {
    const auto sessionStyle = style == VELQOR_DATAGRAM || style == VELQOR_RAW
                                  ? static_cast<SAM::Message::SessionStyle>(style)
                                  : SAM::Message::STREAM;  // refused by the operation
    return SAM::Operation::startDatagramSession(
        settings->nickname, settings->samhost, settings->samport, sessionStyle,
        settings->destination, settings->i2cp_options, velqor_c::limitsOf(limits));
  });
}

velqor_operation* velqor_namelookup_start(velqor_stream_session* session, const char* name) {
  SAM::StreamSession* s = velqor_c::sessionOf(session);
  if (s == nullptr) return nullptr;
  return newOperation(name != nullptr, kNullArgument,
                      [&] { return SAM::Operation::startNamingLookup(*s, name); });
}

velqor_operation* velqor_datagram_namelookup_start(velqor_datagram_session* session,
                                                   const char* name) {
  SAM::DatagramSession* s = velqor_c::datagramSessionOf(session);
  if (s == nullptr) return nullptr;
  return newOperation(name != nullptr, kNullArgument,
                      [&] { return SAM::Operation::startNamingLookup(*s, name); });
}

velqor_operation* velqor_dest_generate_start(velqor_stream_session* session) {
  SAM::StreamSession* s = velqor_c::sessionOf(session);
  if (s == nullptr) return nullptr;
  return newOperation(true, "", [&] { return SAM::Operation::startDestGenerate(*s); });
}

velqor_operation* velqor_connect_start(velqor_stream_session* session, const char* destination,
                                       int silent) {
  SAM::StreamSession* s = velqor_c::sessionOf(session);
  if (s == nullptr) return nullptr;
  return newOperation(destination != nullptr, kNullArgument,
                      [&] { return SAM::Operation::startConnect(*s, destination, silent != 0); });
}

velqor_operation* velqor_accept_start(velqor_stream_session* session, int silent) {
  SAM::StreamSession* s = velqor_c::sessionOf(session);
  if (s == nullptr) return nullptr;
  return newOperation(true, "", [&] { return SAM::Operation::startAccept(*s, silent != 0); });
}

velqor_operation* velqor_forward_start(velqor_stream_session* session, const char* host,
                                       uint16_t port, int silent) {
  SAM::StreamSession* s = velqor_c::sessionOf(session);
  if (s == nullptr) return nullptr;
  return newOperation(host != nullptr, kNullArgument,
                      [&] { return SAM::Operation::startForward(*s, host, port, silent != 0); });
}

int velqor_operation_fd(const velqor_operation* operation) {
  const SAM::Operation* op = operationOf(operation);
  return op == nullptr ? -1 : op->descriptor();
}

int velqor_operation_events(const velqor_operation* operation) {
  const SAM::Operation* op = operationOf(operation);
  return op == nullptr ? 0 : static_cast<int>(op->events());
}

int velqor_operation_timeout(const velqor_operation* operation) {
  const SAM::Operation* op = operationOf(operation);
  return op == nullptr ? -1 : op->timeoutMs();
}

int velqor_operation_step(velqor_operation* operation) {
  SAM::Operation* op = operationOf(operation);
  if (op == nullptr) return VELQOR_FAILED;
  return guarded(static_cast<int>(VELQOR_FAILED), [&] { return static_cast<int>(op->step()); });
}

int velqor_operation_progress(const velqor_operation* operation) {
  const SAM::Operation* op = operationOf(operation);
  return op == nullptr ? VELQOR_FAILED : static_cast<int>(op->progress());
}

char* velqor_operation_last_error(const velqor_operation* operation) {
  if (operation == nullptr) return nullptr;
  const SAM::Operation* op = operationOf(operation);
  return velqor_c::reasonOf(op == nullptr ? operation->refusal : op->error());
}

int velqor_operation_last_error_code(const velqor_operation* operation) {
  if (operation == nullptr) return VELQOR_ERROR_NONE;
  const SAM::Operation* op = operationOf(operation);
  return static_cast<int>((op == nullptr ? operation->refusal : op->error()).code);
}

velqor_stream_session* velqor_operation_take_stream_session(velqor_operation* operation) {
  SAM::Operation* op = doneOperation(operation);
  if (op == nullptr || op->kind() != SAM::Operation::Kind::STREAM_SESSION) return nullptr;
  return guarded<velqor_stream_session*>(nullptr, [&] {
    std::unique_ptr<velqor_stream_session> handle(new velqor_stream_session{});
    handle->session = op->takeStreamSession();
    return handle->session ? handle.release() : nullptr;
  });
}

velqor_datagram_session* velqor_operation_take_datagram_session(velqor_operation* operation) {
  SAM::Operation* op = doneOperation(operation);
  if (op == nullptr || op->kind() != SAM::Operation::Kind::DATAGRAM_SESSION) return nullptr;
  return guarded<velqor_datagram_session*>(nullptr, [&]() -> velqor_datagram_session* {
    std::unique_ptr<velqor_datagram_session> handle(new velqor_datagram_session{});
    handle->session = op->takeDatagramSession();
    return handle->session ? handle.release() : nullptr;
  });
}

char* velqor_operation_value(const velqor_operation* operation) {
  const SAM::Operation* op = doneOperation(operation);
  if (op == nullptr || op->kind() != SAM::Operation::Kind::NAMING_LOOKUP) return nullptr;
  return velqor_c::copyText(op->value());
}

velqor_destination* velqor_operation_destination(const velqor_operation* operation) {
  const SAM::Operation* op = doneOperation(operation);
  if (op == nullptr || op->kind() != SAM::Operation::Kind::DEST_GENERATE) return nullptr;
  return velqor_c::newDestination(op->destination().pub, op->destination().priv);
}

velqor_socket* velqor_operation_take_socket(velqor_operation* operation) {
  SAM::Operation* op = doneOperation(operation);
  if (op == nullptr) return nullptr;
  return guarded<velqor_socket*>(nullptr, [&]() -> velqor_socket* {
    std::unique_ptr<SAM::I2pSocket> stream = op->takeSocket();
    return stream ? new velqor_socket{std::move(stream)} : nullptr;
  });
}

int velqor_operation_take_fd(velqor_operation* operation, char** kept, size_t* kept_length) {
  if (kept != nullptr) *kept = nullptr;
  if (kept_length != nullptr) *kept_length = 0;
  SAM::Operation* op = doneOperation(operation);
  if (op == nullptr) return -1;
  return guarded(-1, [&] {
    std::string bytes;
    return op->releaseDescriptor(bytes);
  });
}

char* velqor_operation_peer(const velqor_operation* operation) {
  const SAM::Operation* op = doneOperation(operation);
  if (op == nullptr || op->kind() != SAM::Operation::Kind::STREAM_ACCEPT ||
      op->peerDestination().empty()) {
    return nullptr;
  }
  return velqor_c::copyText(op->peerDestination());
}

int velqor_operation_waits_for_peer(const velqor_operation* operation) {
  const SAM::Operation* op = operationOf(operation);
  return op != nullptr && op->waitsForPeer() ? 1 : 0;
}

void velqor_operation_free(velqor_operation* operation) { delete operation; }

size_t velqor_operations_wait(velqor_operation* const* operations, size_t count, int timeout_ms) {
  if (operations == nullptr) return 0;
  return guarded<size_t>(0, [&] {
    std::vector<SAM::Operation*> ops;
    ops.reserve(count);
    for (size_t i = 0; i < count; ++i) ops.push_back(operationOf(operations[i]));
    return SAM::Operation::wait(ops.data(), ops.size(), timeout_ms);
  });
}

int velqor_socket_fd(const velqor_socket* socket) {
  const SAM::I2pSocket* s = velqor_c::socketOf(socket);
  return s == nullptr ? -1 : s->getDescriptor();
}

int velqor_session_fd(const velqor_stream_session* session) {
  const SAM::StreamSession* s = velqor_c::sessionOf(session);
  return s == nullptr ? -1 : s->getControlDescriptor();
}

char* velqor_read_line(velqor_socket* socket, size_t* length) {
  if (length == nullptr) return nullptr;
  *length = 0;
  SAM::I2pSocket* s = velqor_c::socketOf(socket);
  if (s == nullptr) return nullptr;
  // As velqor_read: a line that cannot be handed over leaves the stream broken, so it is closed.
  std::string line;
  if (!guarded([&] { line = s->readLine(); })) {
    s->close();
    return nullptr;
  }
  if (line.empty()) return nullptr;
  char* buffer = velqor_c::copyBytes(line);
  if (buffer == nullptr) {
    s->close();
    return nullptr;
  }
  *length = line.size();
  return buffer;
}

void velqor_limits_set_deadline(velqor_limits* limits, uint32_t milliseconds) {
  if (limits == nullptr) return;
  limits->limits.deadline = milliseconds == 0 ? std::chrono::steady_clock::time_point::max()
                                              : std::chrono::steady_clock::now() +
                                                    std::chrono::milliseconds(milliseconds);
}

}  // extern "C"
