// The one check of the fuzz targets: a broken invariant aborts, which libFuzzer reports as a
// crash and saves the input that caused it.
#ifndef VELQOR_FUZZ_FUZZ_REQUIRE_HPP
#define VELQOR_FUZZ_FUZZ_REQUIRE_HPP

#include <cstdio>
#include <cstdlib>

#define FUZZ_REQUIRE(condition)                                                               \
  do {                                                                                        \
    if (!(condition)) {                                                                       \
      std::fprintf(stderr, "invariant broken: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
      std::abort();                                                                           \
    }                                                                                         \
  } while (0)

#endif  // VELQOR_FUZZ_FUZZ_REQUIRE_HPP
