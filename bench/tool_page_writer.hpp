// Writes directory pages of a chosen size for the tessivar benchmarks.
#ifndef VELQOR_BENCH_TOOL_PAGE_WRITER_HPP
#define VELQOR_BENCH_TOOL_PAGE_WRITER_HPP

#include <cstddef>
#include <string>

// A page of `lines` lines and about `bytes` bytes: two lines in three are table rows whose
// helper is 524 characters of I2P base64 (as for EdDSA destinations); the others are table
// lines that come close to a row without being one.
class TestPageWriter {
 public:
  TestPageWriter(std::size_t bytes, std::size_t lines) : bytes_(bytes), lines_(lines) {}

  // Writes the page to `path`. Returns the number of rows, or -1 when writing failed.
  long write(const std::string& path) const;

  // One row with the given helper.
  static std::string row(std::size_t number, const std::string& helper);

 private:
  std::size_t bytes_;
  std::size_t lines_;
};

#endif  // VELQOR_BENCH_TOOL_PAGE_WRITER_HPP
