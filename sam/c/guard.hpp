// The one exception guard of the C interface and its copy helpers: no C++ exception (in
// practice std::bad_alloc) may cross into a C caller, and everything handed to one is malloc'd.
// Internal: not part of the public interface.
#ifndef VELQOR_SAM_C_GUARD_HPP
#define VELQOR_SAM_C_GUARD_HPP

#include <cstddef>
#include <string>

namespace velqor_c {

// Runs `body` and returns its result, or `failure` when it throws.
template <class Result, class Body>
Result guarded(Result failure, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return failure;
  }
}

// Runs `body`; returns false when it threw (what it did so far stays done), else true.
template <class Body>
bool guarded(Body&& body) noexcept {
  return guarded(false, [&] {
    body();
    return true;
  });
}

// A malloc'd copy of `text` for the caller, NUL-terminated, or nullptr when memory runs out.
char* copyText(const std::string& text) noexcept;
// A malloc'd copy of the bytes of `bytes` without a terminating NUL, or nullptr when memory runs
// out. At least one byte is allocated, so that an empty copy is not NULL either.
char* copyBytes(const std::string& bytes) noexcept;
// Sets *reason, when asked for, to a copy of `text`, or to NULL for "".
void setReason(char** reason, const std::string& text) noexcept;

}  // namespace velqor_c

#endif  // VELQOR_SAM_C_GUARD_HPP
