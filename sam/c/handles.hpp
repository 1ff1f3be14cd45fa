// The records behind the opaque handles of the C interface: each holds the C++ object it stands
// for. Internal: not part of the public interface.
#ifndef VELQOR_SAM_C_HANDLES_HPP
#define VELQOR_SAM_C_HANDLES_HPP

#include <velqor/velqor.h>
#include <velqor/sam.hpp>

#include <memory>
#include <string>

struct velqor_stream_session {
  // Null when the settings were unusable and no session was made, and while a keeper holds
  // the session: `keeper` then answers for it.
  std::unique_ptr<SAM::StreamSession> session;
  SAM::SessionKeeper* keeper = nullptr;
};

struct velqor_datagram_session {
  // Null when the settings or the style were unusable and no session was made.
  std::unique_ptr<SAM::DatagramSession> session;
};

struct velqor_socket {
  std::unique_ptr<SAM::I2pSocket> socket;
};

struct velqor_limits {
  SAM::TimeLimits limits;
};

struct velqor_destination {
  char* pub;
  char* priv;
};

namespace velqor_c {

// The session behind a handle: its own, or the one its keeper holds now; null for a NULL
// handle or a handle without session.
inline SAM::StreamSession* sessionOf(const velqor_stream_session* handle) {
  if (handle == nullptr) return nullptr;
  return handle->keeper != nullptr ? &handle->keeper->session() : handle->session.get();
}

inline SAM::DatagramSession* datagramSessionOf(const velqor_datagram_session* handle) {
  return handle == nullptr ? nullptr : handle->session.get();
}

inline SAM::I2pSocket* socketOf(const velqor_socket* handle) {
  return handle == nullptr ? nullptr : handle->socket.get();
}

// The limits a record gives: none for NULL.
inline SAM::TimeLimits limitsOf(const velqor_limits* limits) {
  return limits != nullptr ? limits->limits : SAM::TimeLimits();
}

// Whether none of the string fields of `settings` is NULL (nor `settings` itself).
inline bool areUsable(const velqor_settings* settings) {
  return settings != nullptr && settings->nickname != nullptr && settings->samhost != nullptr &&
         settings->destination != nullptr && settings->i2cp_options != nullptr;
}

// A new record holding copies of `pub` and `priv`, or nullptr when memory runs out.
velqor_destination* newDestination(const std::string& pub, const std::string& priv) noexcept;
// A new socket handle owning the stream of an accept or a connect; nullptr when it failed.
velqor_socket* newSocketHandle(SAM::RequestResult<std::unique_ptr<SAM::I2pSocket>> result);
// A copy of `error`'s reason, or nullptr when nothing failed.
char* reasonOf(const SAM::Error& error) noexcept;

}  // namespace velqor_c

#endif  // VELQOR_SAM_C_HANDLES_HPP
