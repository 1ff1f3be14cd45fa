#include "temp_file.hpp"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace tessivar {

namespace {

// The paths a signal handler removes: the page's copy and the output file's. Each is written
// only while its `armed` is 0, so the handler never reads a half-written path.
constexpr int kSignalSlots = 2;
char signalPaths[kSignalSlots][PATH_MAX + 1];
volatile std::sig_atomic_t armed[kSignalSlots] = {};
const TempFile* signalOwners[kSignalSlots] = {};

extern "C" void removeAndEnd(int signalNumber) {
  for (int i = 0; i < kSignalSlots; ++i) {
    if (armed[i]) ::unlink(signalPaths[i]);
  }
  std::signal(signalNumber, SIG_DFL);
  std::raise(signalNumber);  // delivered with the default action once the handler returns
}

void disarm(const TempFile* owner) {
  for (int i = 0; i < kSignalSlots; ++i) {
    if (signalOwners[i] != owner) continue;
    armed[i] = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    signalOwners[i] = nullptr;
  }
}

}  // namespace

void TempFile::removeOnTerminatingSignals() {
  for (int signalNumber : {SIGHUP, SIGINT, SIGPIPE, SIGTERM}) {
    struct sigaction action {};
    action.sa_handler = removeAndEnd;
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
    if (sigaction(signalNumber, &action, &previous) == 0 && previous.sa_handler == SIG_IGN) {
      sigaction(signalNumber, &previous, nullptr);  // ignored by whoever started us: keep it so
    }
  }
}

std::string TempFile::directory() {
  const char* dir = std::getenv("TMPDIR");
  return dir != nullptr && dir[0] != '\0' ? dir : "/tmp";
}

TempFile::TempFile() { create(directory() + "/tessivar-XXXXXX", 0600); }

TempFile::TempFile(const std::string& replaced, mode_t mode) { create(replaced + ".XXXXXX", mode); }

void TempFile::create(std::string name, mode_t mode) {
  std::vector<char> buffer(name.begin(), name.end());
  buffer.push_back('\0');
  fd_ = mkostemp(buffer.data(), O_CLOEXEC);
  if (fd_ < 0) return;
  if (mode != 0600 && ::fchmod(fd_, mode) != 0) {
    const int error = errno;
    ::close(fd_);
    ::unlink(buffer.data());
    fd_ = -1;
    errno = error;
    return;
  }
  path_.assign(buffer.data());
  for (int i = 0; i < kSignalSlots; ++i) {
    if (armed[i] || path_.size() >= sizeof signalPaths[i]) continue;
    std::memcpy(signalPaths[i], path_.c_str(), path_.size() + 1);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    signalOwners[i] = this;
    armed[i] = 1;
    break;
  }
}

TempFile::~TempFile() {
  if (fd_ < 0) return;
  ::close(fd_);
  if (!path_.empty()) ::unlink(path_.c_str());
  disarm(this);  // disarmed only now, so no signal finds the file left
}

bool TempFile::renameTo(const std::string& target) {
  // Synced first, so that a crash never leaves an empty file in the place of the one replaced.
  if (fd_ < 0 || path_.empty() || ::fsync(fd_) != 0 ||
      std::rename(path_.c_str(), target.c_str()) != 0) {
    return false;
  }
  path_.clear();  // no longer ours to remove
  disarm(this);
  return true;
}

bool TempFile::write(const char* data, std::size_t size) {
  while (fd_ >= 0 && size > 0) {
    const ssize_t n = ::write(fd_, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return fd_ >= 0;
}

bool TempFile::rewind() { return fd_ >= 0 && ::lseek(fd_, 0, SEEK_SET) == 0; }

}  // namespace tessivar
