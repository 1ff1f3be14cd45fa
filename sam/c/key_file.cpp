// The flat C interface of key files and b32 addresses: thin wrappers over loadKeyFile,
// saveKeyFile and b32Address that hand malloc'd results to the caller and never let an
// exception (in practice std::bad_alloc) cross into C.
#include <velqor/velqor.h>
#include <velqor/destination.hpp>

#include <cstring>
#include <string>

namespace {

// Sets *reason, when asked for, to a malloc'd copy of `text`, or to NULL for "".
void setReason(char** reason, const char* text) noexcept {
  if (reason != nullptr) *reason = text[0] == '\0' ? nullptr : strdup(text);
}

// Runs `body`, which returns its result and sets `why` on failure; *reason gets `why`, or NULL
// when it is "". A NULL argument fails with a reason of its own, an exception (memory ran out)
// with "out of memory".
template <class Result, class Body>
Result keyCall(Result failure, bool argumentsOk, char** reason, Body body) noexcept {
  if (!argumentsOk) {
    setReason(reason, "a NULL argument was given");
    return failure;
  }
  try {
    std::string why;
    const Result result = body(why);
    setReason(reason, why.c_str());
    return result;
  } catch (...) {
    setReason(reason, "out of memory");
    return failure;
  }
}

}  // namespace

extern "C" {

char* velqor_b32_address(const char* pub) {
  if (pub == nullptr) return nullptr;
  try {
    const std::string address = SAM::b32Address(pub);
    return address.empty() ? nullptr : strdup(address.c_str());
  } catch (...) {
    return nullptr;
  }
}

char* velqor_key_file_load(const char* path, char** reason) {
  return keyCall<char*>(nullptr, path != nullptr, reason, [&](std::string& why) -> char* {
    SAM::FullDestination destination;
    const SAM::Error error = SAM::loadKeyFile(path, destination);
    why = error.reason;
    return error.ok() ? strdup(destination.priv.c_str()) : nullptr;
  });
}

int velqor_key_file_save(const char* path, const char* priv, char** reason) {
  return keyCall(-1, path != nullptr && priv != nullptr, reason, [&](std::string& why) {
    const SAM::Error error = SAM::saveKeyFile(path, priv);
    why = error.reason;
    return error.ok() ? 0 : -1;
  });
}

}  // extern "C"
