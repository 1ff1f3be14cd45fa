// The number of descriptors open in this process (read from /proc), not counting the one used
// to list them.
#ifndef VELQOR_TESTS_PROCESS_USAGE_HPP
#define VELQOR_TESTS_PROCESS_USAGE_HPP

#include <dirent.h>

namespace velqor_test {

inline int openDescriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = -1;
  while (const dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
  closedir(dir);
  return count;
}

}  // namespace velqor_test

#endif  // VELQOR_TESTS_PROCESS_USAGE_HPP
