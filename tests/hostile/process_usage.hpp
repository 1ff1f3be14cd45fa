// What this process holds of the system: open descriptors and resident memory, read from /proc.
#ifndef VELQOR_TESTS_HOSTILE_PROCESS_USAGE_HPP
#define VELQOR_TESTS_HOSTILE_PROCESS_USAGE_HPP

#include <cstddef>

namespace velqor_test {

class ProcessUsage {
 public:
  ProcessUsage() = delete;

  // The number of descriptors open in this process, not counting the one used to list them.
  static int openDescriptors();
  // The resident set size (VmRSS) in bytes, or 0 when it cannot be read.
  static std::size_t residentBytes();
};

}  // namespace velqor_test

#endif  // VELQOR_TESTS_HOSTILE_PROCESS_USAGE_HPP
