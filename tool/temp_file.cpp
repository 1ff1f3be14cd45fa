#include "temp_file.hpp"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace tessivar {

namespace {

// The path a signal handler removes. Written only while `armed` is 0, so the handler never
// reads a half-written path.
char signalPath[PATH_MAX + 1];
volatile std::sig_atomic_t armed = 0;
const TempFile* signalOwner = nullptr;

extern "C" void removeAndEnd(int signalNumber) {
  if (armed) ::unlink(signalPath);
  std::signal(signalNumber, SIG_DFL);
  std::raise(signalNumber);  // delivered with the default action once the handler returns
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

TempFile::TempFile() {
  std::string name = directory() + "/tessivar-XXXXXX";
  std::vector<char> buffer(name.begin(), name.end());
  buffer.push_back('\0');
  fd_ = mkostemp(buffer.data(), O_CLOEXEC);
  if (fd_ < 0) return;
  path_.assign(buffer.data());
  if (!armed && path_.size() < sizeof signalPath) {
    std::memcpy(signalPath, path_.c_str(), path_.size() + 1);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    signalOwner = this;
    armed = 1;
  }
}

TempFile::~TempFile() {
  if (fd_ < 0) return;
  ::close(fd_);
  ::unlink(path_.c_str());
  if (signalOwner == this) {  // disarmed only now, so no signal finds the file left
    armed = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    signalOwner = nullptr;
  }
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
