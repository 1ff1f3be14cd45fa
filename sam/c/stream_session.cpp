// The C interface of stream sessions: each function turns C values into library values, calls
// one operation of StreamSession, and turns the result back, handing ownership to the caller.
#include <velqor/velqor.h>
#include <velqor/sam.hpp>

#include <memory>
#include <string>
#include <utility>

#include "sam/c/guard.hpp"
#include "sam/c/handles.hpp"

// The C names of the kinds of failure are the C++ ones, number for number.
static_assert(VELQOR_ERROR_RESOLVE == static_cast<int>(SAM::ErrorCode::RESOLVE), "");
static_assert(VELQOR_ERROR_TIMED_OUT == static_cast<int>(SAM::ErrorCode::TIMED_OUT), "");
static_assert(VELQOR_ERROR_REFUSED == static_cast<int>(SAM::ErrorCode::REFUSED), "");
static_assert(VELQOR_ERROR_KEY_FILE == static_cast<int>(SAM::ErrorCode::KEY_FILE), "");

namespace {

using velqor_c::copyText;
using velqor_c::guarded;
using velqor_c::sessionOf;

// Copies one string accessor of the session, or nullptr when there is no session or no memory.
// Nothing here throws: the accessors return references and the copy is strdup's.
char* copyOfSession(const velqor_stream_session* handle,
                    const std::string& (SAM::StreamSession::*accessor)() const) noexcept {
  const SAM::StreamSession* session = sessionOf(handle);
  if (session == nullptr) return nullptr;
  return copyText((session->*accessor)());
}

}  // namespace

namespace velqor_c {

velqor_socket* newSocketHandle(SAM::RequestResult<std::unique_ptr<SAM::I2pSocket>> result) {
  if (!result.isOk) return nullptr;
  return new velqor_socket{std::move(result.value)};
}

char* reasonOf(const SAM::Error& error) noexcept {
  return error.ok() ? nullptr : copyText(error.reason);
}

}  // namespace velqor_c

extern "C" {

velqor_stream_session* velqor_stream_session_new(const velqor_settings* settings) {
  return velqor_stream_session_new_with_limits(settings, nullptr);
}

velqor_stream_session* velqor_stream_session_new_with_limits(const velqor_settings* settings,
                                                             const velqor_limits* limits) {
  return guarded<velqor_stream_session*>(nullptr, [&] {
    std::unique_ptr<velqor_stream_session> handle(new velqor_stream_session{});
    if (velqor_c::areUsable(settings)) {
      handle->session.reset(new SAM::StreamSession(
          settings->nickname, settings->samhost, settings->samport, settings->destination,
          settings->i2cp_options, velqor_c::limitsOf(limits)));
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

int velqor_is_alive(velqor_stream_session* session) {
  SAM::StreamSession* s = sessionOf(session);
  return s != nullptr && s->checkAlive() ? 1 : 0;
}

velqor_destination* velqor_get_my_destination(const velqor_stream_session* session) {
  if (session == nullptr) return nullptr;
  const SAM::StreamSession* s = sessionOf(session);
  if (s == nullptr) return velqor_c::newDestination("", "");
  return velqor_c::newDestination(s->getMyDestination().pub, s->getMyDestination().priv);
}

velqor_socket* velqor_accept(velqor_stream_session* session, int silent) {
  SAM::StreamSession* s = sessionOf(session);
  if (s == nullptr) return nullptr;
  return guarded<velqor_socket*>(nullptr,
                                 [&] { return velqor_c::newSocketHandle(s->accept(silent != 0)); });
}

velqor_socket* velqor_connect(velqor_stream_session* session, const char* destination, int silent) {
  SAM::StreamSession* s = sessionOf(session);
  if (s == nullptr || destination == nullptr) return nullptr;
  return guarded<velqor_socket*>(
      nullptr, [&] { return velqor_c::newSocketHandle(s->connect(destination, silent != 0)); });
}

int velqor_forward(velqor_stream_session* session, const char* host, uint16_t port, int silent) {
  SAM::StreamSession* s = sessionOf(session);
  if (s == nullptr || host == nullptr) return -1;
  return guarded(-1, [&] { return s->forward(host, port, silent != 0).isOk ? 0 : -1; });
}

void velqor_stop_forwarding(velqor_stream_session* session, const char* host, uint16_t port) {
  SAM::StreamSession* s = sessionOf(session);
  if (s == nullptr || host == nullptr) return;
  guarded([&] { s->stopForwarding(host, port); });
}

void velqor_stop_forwarding_all(velqor_stream_session* session) {
  SAM::StreamSession* s = sessionOf(session);
  if (s != nullptr) s->stopForwardingAll();
}

char* velqor_namelookup(velqor_stream_session* session, const char* name) {
  SAM::StreamSession* s = sessionOf(session);
  if (s == nullptr || name == nullptr) return nullptr;
  return guarded<char*>(nullptr, [&] {
    const SAM::RequestResult<const std::string> result = s->namingLookup(name);
    return result.isOk ? copyText(result.value) : nullptr;
  });
}

velqor_destination* velqor_dest_generate(velqor_stream_session* session) {
  SAM::StreamSession* s = sessionOf(session);
  if (s == nullptr) return nullptr;
  return guarded<velqor_destination*>(nullptr, [&] {
    const SAM::RequestResult<const SAM::FullDestination> result = s->destGenerate();
    return result.isOk ? velqor_c::newDestination(result.value.pub, result.value.priv) : nullptr;
  });
}

void velqor_set_limits(velqor_stream_session* session, const velqor_limits* limits) {
  SAM::StreamSession* s = sessionOf(session);
  if (s != nullptr) s->setTimeLimits(velqor_c::limitsOf(limits));
}

char* velqor_get_last_error(const velqor_stream_session* session) {
  if (session == nullptr) return nullptr;
  const SAM::StreamSession* s = sessionOf(session);
  if (s == nullptr) return copyText("no session: the settings or one of their strings was NULL");
  return velqor_c::reasonOf(s->getLastError());
}

int velqor_get_last_error_code(const velqor_stream_session* session) {
  if (session == nullptr) return VELQOR_ERROR_NONE;
  const SAM::StreamSession* s = sessionOf(session);
  return s == nullptr ? VELQOR_ERROR_ARGUMENT : static_cast<int>(s->getLastError().code);
}

}  // extern "C"
