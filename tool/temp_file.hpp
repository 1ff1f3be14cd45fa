// A temporary file, removed when the object dies unless it has taken the place of another.
#ifndef TESSIVAR_TEMP_FILE_HPP
#define TESSIVAR_TEMP_FILE_HPP

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace tessivar {

// Creates a new file "tessivar-XXXXXX" in the directory named by TMPDIR, or in /tmp when
// TMPDIR is unset or empty, or "NAME.XXXXXX" next to a file NAME that it is to replace. The name
// is chosen and the file created in one step (mkstemp), with permissions 0600 (or those asked
// for), so no other user can read it or put a file of their own in its place. The destructor
// closes and removes it, on every path, unless renameTo() gave it its place; after
// removeOnTerminatingSignals(), so does a signal that ends the process.
//
// Not thread-safe. Not copyable: the file has one owner.
class TempFile {
 public:
  // Never throws on a failure of the system: isOpen() is then false, and errno says why.
  TempFile();
  // A file next to `replaced`, with permissions `mode`, for renameTo(replaced).
  TempFile(const std::string& replaced, mode_t mode);
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
  // Syncs the file and renames it to `target`, which it replaces, and gives it up: it stays
  // there from now on. False, with errno set, when either failed; the file is then removed as
  // usual.
  bool renameTo(const std::string& target);

  // The directory in which new temporary files are made.
  static std::string directory();

  // Makes SIGHUP, SIGINT, SIGPIPE and SIGTERM (those not ignored) first remove the temporary
  // files that are open, then end the process as the signal would have. Meant for a program's
  // main, before it makes a TempFile. Covers two files at a time: the first two of those alive.
  // CAVEAT: nothing can remove the file when the process is killed with SIGKILL.
  static void removeOnTerminatingSignals();

 private:
  void create(std::string name, mode_t mode);

  int fd_ = -1;
  std::string path_;
};

}  // namespace tessivar

#endif  // TESSIVAR_TEMP_FILE_HPP
