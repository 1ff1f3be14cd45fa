// The C interface's handles, shared by its source files. Not installed.
#ifndef VELQOR_C_HANDLES_HPP
#define VELQOR_C_HANDLES_HPP

#include <velqor/velqor.h>
#include <velqor/sam.hpp>

#include <memory>

struct velqor_stream_session {
  // Null when the settings were unusable and no session was made, and while a keeper holds
  // the session: `keeper` then answers for it.
  std::unique_ptr<SAM::StreamSession> session;
  SAM::SessionKeeper* keeper = nullptr;
};

struct velqor_socket {
  std::unique_ptr<SAM::I2pSocket> socket;
};

namespace velqor_c {

// The session behind a handle: its own, or the one its keeper holds now; null for a NULL
// handle or a handle without session.
inline SAM::StreamSession* sessionOf(const velqor_stream_session* handle) {
  if (handle == nullptr) return nullptr;
  return handle->keeper != nullptr ? &handle->keeper->session() : handle->session.get();
}

}  // namespace velqor_c

#endif  // VELQOR_C_HANDLES_HPP
