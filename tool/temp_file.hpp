// A temporary file that only its user can read, removed when the object dies.
#ifndef TESSIVAR_TEMP_FILE_HPP
#define TESSIVAR_TEMP_FILE_HPP

#include <cstddef>
#include <string>

namespace tessivar {

// Creates a new file "tessivar-XXXXXX" in the directory named by TMPDIR, or in /tmp when
// TMPDIR is unset or empty. The name is chosen and the file created in one step (mkstemp),
// with permissions 0600, so no other user can read it or put a file of their own in its
// place. The destructor closes and removes it, on every path; after
// removeOnTerminatingSignals(), so does a signal that ends the process.
//
// Not thread-safe. Not copyable: the file has one owner.
class TempFile {
 public:
  // Never throws on a failure of the system: isOpen() is then false.
  TempFile();
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  bool isOpen() const { return fd_ >= 0; }
  const std::string& path() const { return path_; }
  // The descriptor, open for reading and writing; -1 when !isOpen().
  int fd() const { return fd_; }

  // Appends all `size` bytes. Returns false when the file is not open or a write failed
  // (a full disk, for example).
  bool write(const char* data, std::size_t size);
  // Moves the file position back to the start, for reading what was written.
  bool rewind();

  // The directory in which new temporary files are made.
  static std::string directory();

  // Makes SIGHUP, SIGINT, SIGPIPE and SIGTERM (those not ignored) first remove the temporary
  // file that is open, then end the process as the signal would have. Meant for a program's
  // main, before it makes a TempFile. Covers one file at a time: the first of those alive.
  // CAVEAT: nothing can remove the file when the process is killed with SIGKILL.
  static void removeOnTerminatingSignals();

 private:
  int fd_ = -1;
  std::string path_;
};

}  // namespace tessivar

#endif  // TESSIVAR_TEMP_FILE_HPP
