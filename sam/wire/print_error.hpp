// The library's one diagnostic sink. Internal: not part of the public interface.
#ifndef VELQOR_SAM_WIRE_PRINT_ERROR_HPP
#define VELQOR_SAM_WIRE_PRINT_ERROR_HPP

#include <string>

namespace SAM {

// Receives every diagnostic text of the library and discards it. Failures reach callers
// through statuses, isOk() and sick sessions instead; the library never prints.
void print_error(const std::string& text);

}  // namespace SAM

#endif  // VELQOR_SAM_WIRE_PRINT_ERROR_HPP
