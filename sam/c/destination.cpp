// The C interface of destination records: two malloc'd strings.
#include <velqor/velqor.h>

#include <cstdlib>
#include <string>

#include "sam/c/guard.hpp"
#include "sam/c/handles.hpp"

namespace velqor_c {

velqor_destination* newDestination(const std::string& pub, const std::string& priv) noexcept {
  auto* record = static_cast<velqor_destination*>(std::malloc(sizeof(velqor_destination)));
  if (record == nullptr) return nullptr;
  record->pub = copyText(pub);
  record->priv = copyText(priv);
  if (record->pub == nullptr || record->priv == nullptr) {
    velqor_destination_free(record);
    return nullptr;
  }
  return record;
}

}  // namespace velqor_c

extern "C" {

char* velqor_destination_pub(const velqor_destination* destination) {
  return destination == nullptr ? nullptr : velqor_c::copyText(destination->pub);
}

char* velqor_destination_priv(const velqor_destination* destination) {
  return destination == nullptr ? nullptr : velqor_c::copyText(destination->priv);
}

void velqor_destination_free(velqor_destination* destination) {
  if (destination == nullptr) return;
  std::free(destination->pub);
  std::free(destination->priv);
  std::free(destination);
}

}  // extern "C"
