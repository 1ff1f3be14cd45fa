// The C interface of datagram sessions: thin wrappers over SAM::DatagramSession.
#include <velqor/velqor.h>
#include <velqor/datagram_session.hpp>

#include <cstdlib>
#include <memory>
#include <string>

#include "sam/c/guard.hpp"
#include "sam/c/handles.hpp"

static_assert(static_cast<int>(VELQOR_DATAGRAM) == SAM::Message::DATAGRAM &&
                  static_cast<int>(VELQOR_RAW) == SAM::Message::RAW,
              "");
static_assert(VELQOR_DATAGRAM_MAX_SIZE == SAM::DatagramSession::maxDatagramSize, "");

namespace {

using velqor_c::copyText;
using velqor_c::guarded;

using velqor_c::datagramSessionOf;

}  // namespace

extern "C" {

velqor_datagram_session* velqor_datagram_session_new(const velqor_settings* settings, int style,
                                                     const velqor_limits* limits) {
  return guarded<velqor_datagram_session*>(nullptr, [&] {
    std::unique_ptr<velqor_datagram_session> handle(new velqor_datagram_session{});
    if (velqor_c::areUsable(settings) && (style == VELQOR_DATAGRAM || style == VELQOR_RAW)) {
      handle->session = std::make_unique<SAM::DatagramSession>(
          settings->nickname, settings->samhost, settings->samport,
          static_cast<SAM::Message::SessionStyle>(style), settings->destination,
          settings->i2cp_options, velqor_c::limitsOf(limits));
    }
    return handle.release();
  });
}

void velqor_datagram_session_free(velqor_datagram_session* session) { delete session; }

int velqor_datagram_send(velqor_datagram_session* session, const char* destination,
                         const void* data, size_t length) {
  SAM::DatagramSession* s = datagramSessionOf(session);
  if (s == nullptr || destination == nullptr || (data == nullptr && length > 0)) return -1;
  return guarded(-1, [&] {
    const std::string payload =
        length == 0 ? "" : std::string(static_cast<const char*>(data), length);
    return s->send(destination, payload).isOk ? 0 : -1;
  });
}

int velqor_datagram_receive(velqor_datagram_session* session, void** payload, size_t* length,
                            char** sender) {
  if (payload == nullptr || length == nullptr) return -1;
  *payload = nullptr;
  *length = 0;
  if (sender != nullptr) *sender = nullptr;
  SAM::DatagramSession* s = datagramSessionOf(session);
  if (s == nullptr) return -1;
  return guarded(-1, [&] {
    const SAM::RequestResult<SAM::Datagram> received = s->receive();
    if (!received.isOk) return -1;
    // A datagram that cannot be handed over whole is lost, as a datagram may be.
    const bool wantsSender = sender != nullptr && s->getStyle() == SAM::Message::DATAGRAM;
    char* bytes = velqor_c::copyBytes(received.value.payload);
    char* from = wantsSender ? copyText(received.value.sender) : nullptr;
    if (bytes == nullptr || (wantsSender && from == nullptr)) {
      std::free(bytes);
      std::free(from);
      return -1;
    }
    *payload = bytes;
    *length = received.value.payload.size();
    if (sender != nullptr) *sender = from;
    return 0;
  });
}

size_t velqor_datagram_max_payload(const velqor_datagram_session* session,
                                   const char* destination) {
  const SAM::DatagramSession* s = datagramSessionOf(session);
  if (s == nullptr || destination == nullptr) return 0;
  return guarded<size_t>(0, [&] { return s->maxPayloadSize(destination); });
}

velqor_destination* velqor_datagram_session_destination(const velqor_datagram_session* session) {
  if (session == nullptr) return nullptr;
  const SAM::DatagramSession* s = datagramSessionOf(session);
  if (s == nullptr) return velqor_c::newDestination("", "");
  return velqor_c::newDestination(s->getMyDestination().pub, s->getMyDestination().priv);
}

int velqor_datagram_session_is_sick(const velqor_datagram_session* session) {
  const SAM::DatagramSession* s = datagramSessionOf(session);
  return s == nullptr || s->isSick() ? 1 : 0;
}

char* velqor_datagram_session_last_error(const velqor_datagram_session* session) {
  if (session == nullptr) return nullptr;
  const SAM::DatagramSession* s = datagramSessionOf(session);
  if (s == nullptr) {
    return copyText("no session: the settings, one of their strings or the style was unusable");
  }
  return velqor_c::reasonOf(s->getLastError());
}

int velqor_datagram_session_last_error_code(const velqor_datagram_session* session) {
  if (session == nullptr) return VELQOR_ERROR_NONE;
  const SAM::DatagramSession* s = datagramSessionOf(session);
  return s == nullptr ? VELQOR_ERROR_ARGUMENT : static_cast<int>(s->getLastError().code);
}

void velqor_datagram_session_set_udp_port(velqor_datagram_session* session, uint16_t port) {
  SAM::DatagramSession* s = datagramSessionOf(session);
  if (s != nullptr) s->setBridgeUdpPort(port);
}

int velqor_datagram_session_fd(const velqor_datagram_session* session) {
  const SAM::DatagramSession* s = datagramSessionOf(session);
  return s == nullptr ? -1 : s->getUdpDescriptor();
}

void velqor_datagram_session_set_limits(velqor_datagram_session* session,
                                        const velqor_limits* limits) {
  SAM::DatagramSession* s = datagramSessionOf(session);
  if (s != nullptr) s->setTimeLimits(velqor_c::limitsOf(limits));
}

char* velqor_datagram_namelookup(velqor_datagram_session* session, const char* name) {
  SAM::DatagramSession* s = datagramSessionOf(session);
  if (s == nullptr || name == nullptr) return nullptr;
  return guarded<char*>(nullptr, [&] {
    const SAM::RequestResult<const std::string> result = s->namingLookup(name);
    return result.isOk ? copyText(result.value) : nullptr;
  });
}

}  // extern "C"
