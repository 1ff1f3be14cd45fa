// What the source files of the flat C interface share: the records behind its opaque types and
// the helpers that hand results to C callers. Internal: not part of the public interface.
#ifndef VELQOR_SAM_C_VELQOR_INTERNAL_HPP
#define VELQOR_SAM_C_VELQOR_INTERNAL_HPP

#include <velqor/velqor.h>
#include <velqor/sam.hpp>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

struct velqor_stream_session {
  // Null when the settings were unusable and no session was made, and while a keeper holds
  // the session: `keeper` then answers for it.
  std::unique_ptr<SAM::StreamSession> session;
  SAM::SessionKeeper* keeper = nullptr;
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

// Runs `body` and returns its result, or `failure` when it throws: no C++ exception may cross
// into a C caller.
template <class Result, class Body>
Result resultOr(Result failure, Body body) noexcept {
  try {
    return body();
  } catch (...) {
    return failure;
  }
}

// A malloc'd copy of `text` for the caller, or nullptr when memory runs out.
inline char* copyForCaller(const std::string& text) { return strdup(text.c_str()); }

// A malloc'd copy of the bytes of `bytes`, without a terminating zero, or nullptr when memory
// runs out. At least one byte is allocated, so that an empty copy is not NULL either.
inline char* copyBytesForCaller(const std::string& bytes) {
  char* buffer = static_cast<char*>(std::malloc(bytes.empty() ? 1 : bytes.size()));
  if (buffer != nullptr && !bytes.empty()) std::memcpy(buffer, bytes.data(), bytes.size());
  return buffer;
}

// A new record holding copies of `pub` and `priv`, or nullptr when memory runs out.
velqor_destination* newDestination(const std::string& pub, const std::string& priv);

// The session behind a handle: its own, or the one its keeper holds now; null for a NULL
// handle or a handle without session.
inline SAM::StreamSession* sessionOf(const velqor_stream_session* handle) {
  if (handle == nullptr) return nullptr;
  return handle->keeper != nullptr ? &handle->keeper->session() : handle->session.get();
}

}  // namespace velqor_c

#endif  // VELQOR_SAM_C_VELQOR_INTERNAL_HPP
