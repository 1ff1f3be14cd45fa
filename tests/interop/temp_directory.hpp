// A directory of its own under the system's temporary directory, removed with everything in it
// when the object is destroyed.
#ifndef VELQOR_TESTS_INTEROP_TEMP_DIRECTORY_HPP
#define VELQOR_TESTS_INTEROP_TEMP_DIRECTORY_HPP

#include <string>

namespace velqor_interop {

class TempDirectory {
 public:
  // Creates a new directory named `prefix` plus six random characters, under $TMPDIR or /tmp.
  // Throws std::runtime_error when it cannot be created.
  explicit TempDirectory(const std::string& prefix);
  ~TempDirectory();
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;

  const std::string& path() const { return path_; }
  // Returns path() + "/" + name.
  std::string file(const std::string& name) const;

 private:
  std::string path_;
};

// Writes `text` to `path`, replacing it. Throws std::runtime_error when that fails.
void writeTextFile(const std::string& path, const std::string& text);
// Returns the whole content of `path`, or "" when it cannot be read.
std::string readTextFile(const std::string& path);

}  // namespace velqor_interop

#endif  // VELQOR_TESTS_INTEROP_TEMP_DIRECTORY_HPP
