// The C interface of time limits: an opaque record of SAM::TimeLimits, so that it can grow.
#include <velqor/velqor.h>

#include <chrono>

#include "sam/c/guard.hpp"
#include "sam/c/handles.hpp"

extern "C" {

velqor_limits* velqor_limits_new(void) {
  return velqor_c::guarded<velqor_limits*>(nullptr, [] { return new velqor_limits{}; });
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

}  // extern "C"
