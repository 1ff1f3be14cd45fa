// The C interface of key files and b32 addresses: thin wrappers over loadKeyFile, saveKeyFile,
// loadOrGenerateKeyFile (with or without limits) and b32Address.
#include <velqor/velqor.h>
#include <velqor/key_file.hpp>

#include <string>

#include "sam/c/guard.hpp"
#include "sam/c/handles.hpp"

namespace {

// Runs `body`, which returns its result and sets `why` on failure; *reason gets `why`, or NULL
// when it is "". A NULL argument fails with a reason of its own, memory that ran out with
// "out of memory".
template <class Result, class Body>
Result keyCall(Result failure, bool argumentsOk, char** reason, Body body) noexcept {
  if (!argumentsOk) {
    velqor_c::setReason(reason, "a NULL argument was given");
    return failure;
  }
  std::string why;
  const Result result = velqor_c::guarded(failure, [&] { return body(why); });
  velqor_c::setReason(reason, result == failure && why.empty() ? "out of memory" : why);
  return result;
}

}  // namespace

extern "C" {

char* velqor_b32_address(const char* pub) {
  if (pub == nullptr) return nullptr;
  return velqor_c::guarded<char*>(nullptr, [&]() -> char* {
    const std::string address = SAM::b32Address(pub);
    return address.empty() ? nullptr : velqor_c::copyText(address);
  });
}

char* velqor_key_file_load(const char* path, char** reason) {
  return keyCall<char*>(nullptr, path != nullptr, reason, [&](std::string& why) -> char* {
    SAM::FullDestination destination;
    const SAM::Error error = SAM::loadKeyFile(path, destination);
    why = error.reason;
    return error.ok() ? velqor_c::copyText(destination.priv) : nullptr;
  });
}

int velqor_key_file_save(const char* path, const char* priv, char** reason) {
  return keyCall(-1, path != nullptr && priv != nullptr, reason, [&](std::string& why) {
    const SAM::Error error = SAM::saveKeyFile(path, priv);
    why = error.reason;
    return error.ok() ? 0 : -1;
  });
}

char* velqor_key_file_load_or_generate(const char* path, const char* samhost, uint16_t samport,
                                       char** reason) {
  return velqor_key_file_load_or_generate_with_limits(path, samhost, samport, nullptr, reason);
}

char* velqor_key_file_load_or_generate_with_limits(const char* path, const char* samhost,
                                                   uint16_t samport, const velqor_limits* limits,
                                                   char** reason) {
  return keyCall<char*>(nullptr, path != nullptr && samhost != nullptr, reason,
                        [&](std::string& why) -> char* {
                          SAM::FullDestination destination;
                          const SAM::Error error = SAM::loadOrGenerateKeyFile(
                              path, samhost, samport, destination, velqor_c::limitsOf(limits));
                          why = error.reason;
                          return error.ok() ? velqor_c::copyText(destination.priv) : nullptr;
                        });
}

}  // extern "C"
