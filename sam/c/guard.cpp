#include "sam/c/guard.hpp"

#include <cstdlib>
#include <cstring>

namespace velqor_c {

char* copyText(const std::string& text) noexcept { return strdup(text.c_str()); }

char* copyBytes(const std::string& bytes) noexcept {
  char* buffer = static_cast<char*>(std::malloc(bytes.empty() ? 1 : bytes.size()));
  if (buffer != nullptr && !bytes.empty()) std::memcpy(buffer, bytes.data(), bytes.size());
  return buffer;
}

void setReason(char** reason, const std::string& text) noexcept {
  if (reason != nullptr) *reason = text.empty() ? nullptr : copyText(text);
}

}  // namespace velqor_c
