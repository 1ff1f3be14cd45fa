// The flat C interface: each function turns C values into library values, calls one operation
// of StreamSession or I2pSocket, and turns the result back, handing ownership to the caller.
//
// No C++ exception may cross into a C caller, so every function answers one (in practice
// std::bad_alloc) with its failure result.
#include <velqor/velqor.h>
#include <velqor/sam.hpp>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "sam/c/handles.hpp"

// The C names of the kinds of failure are the C++ ones, number for number.
static_assert(VELQOR_ERROR_RESOLVE == static_cast<int>(SAM::ErrorCode::RESOLVE), "");
static_assert(VELQOR_ERROR_TIMED_OUT == static_cast<int>(SAM::ErrorCode::TIMED_OUT), "");
static_assert(VELQOR_ERROR_REFUSED == static_cast<int>(SAM::ErrorCode::REFUSED), "");
static_assert(VELQOR_ERROR_KEY_FILE == static_cast<int>(SAM::ErrorCode::KEY_FILE), "");

namespace velqor_c {

velqor_destination* newDestination(const std::string& pub, const std::string& priv) {
  auto* record = static_cast<velqor_destination*>(std::malloc(sizeof(velqor_destination)));
  if (record == nullptr) return nullptr;
  record->pub = copyForCaller(pub);
  record->priv = copyForCaller(priv);
  if (record->pub == nullptr || record->priv == nullptr) {
    velqor_destination_free(record);
    return nullptr;
  }
  return record;
}

}  // namespace velqor_c

namespace {

using velqor_c::copyForCaller;
using velqor_c::newDestination;
using velqor_c::resultOr;

// Runs `body`; an exception ends it and is dropped.
template <class Body>
void runGuarded(Body body) noexcept {
  try {
    body();
  } catch (...) {
  }
}

velqor_socket* newSocketHandle(SAM::RequestResult<std::unique_ptr<SAM::I2pSocket>> result) {
  if (!result.isOk) return nullptr;
  return new velqor_socket{std::move(result.value)};
}

using velqor_c::sessionOf;

SAM::I2pSocket* socketOf(const velqor_socket* handle) {
  return handle == nullptr ? nullptr : handle->socket.get();
}

// Copies one string accessor of the session, or nullptr when there is no session or no memory.
// Nothing here throws: the accessors return references and the copy is strdup's.
char* copyOfSession(const velqor_stream_session* handle,
                    const std::string& (SAM::StreamSession::*accessor)() const) noexcept {
  const SAM::StreamSession* session = sessionOf(handle);
  if (session == nullptr) return nullptr;
  return copyForCaller((session->*accessor)());
}

}  // namespace

extern "C" {

velqor_stream_session* velqor_stream_session_new(const velqor_settings* settings) {
  return velqor_stream_session_new_with_limits(settings, nullptr);
}

velqor_stream_session* velqor_stream_session_new_with_limits(const velqor_settings* settings,
                                                             const velqor_limits* limits) {
  return resultOr<velqor_stream_session*>(nullptr, [&] {
    std::unique_ptr<velqor_stream_session> handle(new velqor_stream_session{});
    if (settings != nullptr && settings->nickname != nullptr && settings->samhost != nullptr &&
        settings->destination != nullptr && settings->i2cp_options != nullptr) {
      handle->session.reset(new SAM::StreamSession(
          settings->nickname, settings->samhost, settings->samport, settings->destination,
          settings->i2cp_options, limits != nullptr ? limits->limits : SAM::TimeLimits()));
    }
    return handle.release();
  });
}

void velqor_stream_session_free(velqor_stream_session* session) { delete session; }

char* velqor_get_samhost(const velqor_stream_session* session) {
  return copyOfSession(session, &SAM::StreamSession::getSAMHost);
}

char* velqor_get_nickname(const velqor_stream_session* session) {
  return copyOfSession(session, &SAM::StreamSession::getNickname);
}

char* velqor_get_session_id(const velqor_stream_session* session) {
  return copyOfSession(session, &SAM::StreamSession::getSessionID);
}

char* velqor_get_sam_min_version(const velqor_stream_session* session) {
  return copyOfSession(session, &SAM::StreamSession::getSAMMinVer);
}

char* velqor_get_sam_max_version(const velqor_stream_session* session) {
  return copyOfSession(session, &SAM::StreamSession::getSAMMaxVer);
}

char* velqor_get_sam_version(const velqor_stream_session* session) {
  return copyOfSession(session, &SAM::StreamSession::getSAMVersion);
}

char* velqor_get_i2cp_options(const velqor_stream_session* session) {
  return copyOfSession(session, &SAM::StreamSession::getOptions);
}

uint16_t velqor_get_samport(const velqor_stream_session* session) {
  const SAM::StreamSession* s = sessionOf(session);
  return s == nullptr ? 0 : s->getSAMPort();
}

int velqor_is_sick(const velqor_stream_session* session) {
  const SAM::StreamSession* s = sessionOf(session);
  return s == nullptr || s->isSick() ? 1 : 0;
}

velqor_destination* velqor_get_my_destination(const velqor_stream_session* session) {
  if (session == nullptr) return nullptr;
  return resultOr<velqor_destination*>(nullptr, [&] {
    const SAM::StreamSession* s = sessionOf(session);
    if (s == nullptr) return newDestination("", "");
    return newDestination(s->getMyDestination().pub, s->getMyDestination().priv);
  });
}

velqor_socket* velqor_accept(velqor_stream_session* session, int silent) {
  SAM::StreamSession* s = sessionOf(session);
  if (s == nullptr) return nullptr;
  return resultOr<velqor_socket*>(nullptr, [&] { return newSocketHandle(s->accept(silent != 0)); });
}

velqor_socket* velqor_connect(velqor_stream_session* session, const char* destination, int silent) {
  SAM::StreamSession* s = sessionOf(session);
  if (s == nullptr || destination == nullptr) return nullptr;
  return resultOr<velqor_socket*>(
      nullptr, [&] { return newSocketHandle(s->connect(destination, silent != 0)); });
}

int velqor_forward(velqor_stream_session* session, const char* host, uint16_t port, int silent) {
  SAM::StreamSession* s = sessionOf(session);
  if (s == nullptr || host == nullptr) return -1;
  return resultOr(-1, [&] { return s->forward(host, port, silent != 0).isOk ? 0 : -1; });
}

void velqor_stop_forwarding(velqor_stream_session* session, const char* host, uint16_t port) {
  SAM::StreamSession* s = sessionOf(session);
  if (s == nullptr || host == nullptr) return;
  runGuarded([&] { s->stopForwarding(host, port); });
}

void velqor_stop_forwarding_all(velqor_stream_session* session) {
  SAM::StreamSession* s = sessionOf(session);
  if (s != nullptr) s->stopForwardingAll();
}

char* velqor_namelookup(velqor_stream_session* session, const char* name) {
  SAM::StreamSession* s = sessionOf(session);
  if (s == nullptr || name == nullptr) return nullptr;
  return resultOr<char*>(nullptr, [&] {
    const SAM::RequestResult<const std::string> result = s->namingLookup(name);
    return result.isOk ? copyForCaller(result.value) : nullptr;
  });
}

velqor_destination* velqor_dest_generate(velqor_stream_session* session) {
  SAM::StreamSession* s = sessionOf(session);
  if (s == nullptr) return nullptr;
  return resultOr<velqor_destination*>(nullptr, [&] {
    const SAM::RequestResult<const SAM::FullDestination> result = s->destGenerate();
    return result.isOk ? newDestination(result.value.pub, result.value.priv) : nullptr;
  });
}

void velqor_write(velqor_socket* socket, const void* data, size_t length) {
  SAM::I2pSocket* s = socketOf(socket);
  if (s == nullptr || (data == nullptr && length > 0)) return;
  runGuarded([&] {
    if (length == 0) {
      s->write(std::string());  // the library closes the connection on an empty write
    } else {
      s->write(std::string(static_cast<const char*>(data), length));
    }
  });
}

char* velqor_read(velqor_socket* socket, size_t* length) {
  if (length == nullptr) return nullptr;
  *length = 0;
  SAM::I2pSocket* s = socketOf(socket);
  if (s == nullptr) return nullptr;
  // NULL must mean "the connection is over". When the bytes cannot be handed over, they are
  // lost and the stream is no longer whole, so the connection is closed rather than left open.
  std::string bytes;
  try {
    bytes = s->read();
  } catch (...) {
    s->close();
    return nullptr;
  }
  if (bytes.empty()) return nullptr;
  char* buffer = velqor_c::copyBytesForCaller(bytes);
  if (buffer == nullptr) {
    s->close();
    return nullptr;
  }
  *length = bytes.size();
  return buffer;
}

void velqor_socket_close(velqor_socket* socket) {
  SAM::I2pSocket* s = socketOf(socket);
  if (s != nullptr) s->close();
}

int velqor_socket_is_ok(const velqor_socket* socket) {
  const SAM::I2pSocket* s = socketOf(socket);
  return s != nullptr && s->isOk() ? 1 : 0;
}

void velqor_socket_free(velqor_socket* socket) { delete socket; }

char* velqor_destination_pub(const velqor_destination* destination) {
  return destination == nullptr ? nullptr : strdup(destination->pub);
}

char* velqor_destination_priv(const velqor_destination* destination) {
  return destination == nullptr ? nullptr : strdup(destination->priv);
}

void velqor_destination_free(velqor_destination* destination) {
  if (destination == nullptr) return;
  std::free(destination->pub);
  std::free(destination->priv);
  std::free(destination);
}

velqor_limits* velqor_limits_new(void) {
  return resultOr<velqor_limits*>(nullptr, [] { return new velqor_limits{}; });
}

void velqor_limits_free(velqor_limits* limits) { delete limits; }

void velqor_limits_set_connect(velqor_limits* limits, uint32_t milliseconds) {
  if (limits != nullptr) limits->limits.connect = std::chrono::milliseconds(milliseconds);
}

void velqor_limits_set_reply(velqor_limits* limits, uint32_t milliseconds) {
  if (limits != nullptr) limits->limits.reply = std::chrono::milliseconds(milliseconds);
}

void velqor_limits_set_read(velqor_limits* limits, uint32_t milliseconds) {
  if (limits != nullptr) limits->limits.read = std::chrono::milliseconds(milliseconds);
}

void velqor_limits_set_write(velqor_limits* limits, uint32_t milliseconds) {
  if (limits != nullptr) limits->limits.write = std::chrono::milliseconds(milliseconds);
}

void velqor_set_limits(velqor_stream_session* session, const velqor_limits* limits) {
  SAM::StreamSession* s = sessionOf(session);
  if (s != nullptr) s->setTimeLimits(limits != nullptr ? limits->limits : SAM::TimeLimits());
}

void velqor_socket_set_limits(velqor_socket* socket, const velqor_limits* limits) {
  SAM::I2pSocket* s = socketOf(socket);
  if (s != nullptr) s->setTimeLimits(limits != nullptr ? limits->limits : SAM::TimeLimits());
}

void velqor_socket_cancel(velqor_socket* socket) {
  SAM::I2pSocket* s = socketOf(socket);
  if (s != nullptr) s->cancel();
}

char* velqor_get_last_error(const velqor_stream_session* session) {
  if (session == nullptr) return nullptr;
  const SAM::StreamSession* s = sessionOf(session);
  if (s == nullptr)
    return copyForCaller("no session: the settings or one of their strings was NULL");
  return s->getLastError().ok() ? nullptr : copyForCaller(s->getLastError().reason);
}

int velqor_get_last_error_code(const velqor_stream_session* session) {
  if (session == nullptr) return VELQOR_ERROR_NONE;
  const SAM::StreamSession* s = sessionOf(session);
  return s == nullptr ? VELQOR_ERROR_ARGUMENT : static_cast<int>(s->getLastError().code);
}

char* velqor_socket_last_error(const velqor_socket* socket) {
  const SAM::I2pSocket* s = socketOf(socket);
  if (s == nullptr || s->getLastError().ok()) return nullptr;
  return copyForCaller(s->getLastError().reason);
}

int velqor_socket_last_error_code(const velqor_socket* socket) {
  const SAM::I2pSocket* s = socketOf(socket);
  return s == nullptr ? VELQOR_ERROR_NONE : static_cast<int>(s->getLastError().code);
}

}  // extern "C"
