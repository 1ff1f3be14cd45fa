#include "bridge_process.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace velqor_test {

namespace {

// Reads exactly `size` bytes; false at end of stream or on an error.
bool readAll(int fd, void* data, std::size_t size) {
  auto* bytes = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = ::read(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

BridgeProcess::BridgeProcess(const std::function<void(FakeBridge&)>& script) {
  int stopPipe[2];
  int portPipe[2];
  if (pipe2(stopPipe, O_CLOEXEC) != 0) return;
  if (pipe2(portPipe, O_CLOEXEC) != 0) {
    ::close(stopPipe[0]);
    ::close(stopPipe[1]);
    return;
  }
  child_ = fork();
  if (child_ == 0) {
    ::close(stopPipe[1]);
    ::close(portPipe[0]);
    {
      FakeBridge bridge;
      script(bridge);
      const uint16_t port = bridge.port();
      if (::write(portPipe[1], &port, sizeof port) != sizeof port) _exit(1);
      char ignored;
      for (;;) {
        const ssize_t n = ::read(stopPipe[0], &ignored, 1);
        if (n == 0 || (n < 0 && errno != EINTR)) break;
      }
    }
    _exit(0);
  }
  ::close(stopPipe[0]);
  ::close(portPipe[1]);
  stopFd_ = stopPipe[1];
  if (child_ < 0 || !readAll(portPipe[0], &port_, sizeof port_)) port_ = 0;
  ::close(portPipe[0]);
}

BridgeProcess::~BridgeProcess() { stop(); }

bool BridgeProcess::stop() {
  if (stopFd_ >= 0) {
    ::close(stopFd_);
    stopFd_ = -1;
  }
  if (child_ > 0) {
    int status = 0;
    while (waitpid(child_, &status, 0) < 0 && errno == EINTR) {
    }
    exitedCleanly_ = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    child_ = -1;
  }
  return exitedCleanly_;
}

}  // namespace velqor_test
