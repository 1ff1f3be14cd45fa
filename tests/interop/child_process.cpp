#include "child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <thread>

namespace velqor_interop {

namespace {

// Runs in the forked child before exec: only async-signal-safe calls from here on.
[[noreturn]] void execChild(pid_t parent, const char* program, char* const* argv,
                            const char* stdoutPath, const char* stderrPath) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) ::_exit(126);  // the parent is already gone
  sigset_t none;  // a parent that waits for signals with sigwait() has them blocked
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  const int input = ::open("/dev/null", O_RDONLY);
  if (input >= 0) ::dup2(input, STDIN_FILENO);
  if (stdoutPath != nullptr) {
    const int out = ::open(stdoutPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0) ::_exit(126);
    ::dup2(out, STDOUT_FILENO);
  }
  if (stderrPath != nullptr) {
    const int err = ::open(stderrPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (err < 0) ::_exit(126);
    ::dup2(err, STDERR_FILENO);
  }
  ::execv(program, argv);
  ::_exit(127);
}

// A descriptor that becomes readable when process `pid` exits; -1 where the kernel has none.
int openProcessDescriptor(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  return -1;
#endif
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::string& stdoutPath, const std::string& stderrPath) {
  // Everything the child needs is prepared here: after fork() it may not allocate.
  std::vector<std::string> words;
  words.push_back(program);
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  const pid_t parent = ::getpid();

  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed for " + program);
  if (pid_ == 0) {
    execChild(parent, program.c_str(), argv.data(),
              stdoutPath.empty() ? nullptr : stdoutPath.c_str(),
              stderrPath.empty() ? nullptr : stderrPath.c_str());
  }
}

ChildProcess::~ChildProcess() { stop(); }

bool ChildProcess::reap(bool block) {
  if (reaped_) return true;
  for (;;) {
    const pid_t result = ::waitpid(pid_, &waitStatus_, block ? 0 : WNOHANG);
    if (result == pid_) {
      reaped_ = true;
      return true;
    }
    if (result == 0) return false;
    if (errno != EINTR) {  // not our child any more: nothing left to wait for
      reaped_ = true;
      waitStatus_ = -1;
      return true;
    }
  }
}

bool ChildProcess::isRunning() { return !reap(false); }

bool ChildProcess::waitForExit(std::chrono::milliseconds limit) {
  if (reap(false)) return true;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  const int fd = openProcessDescriptor(pid_);
  while (!reap(false)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    if (fd >= 0) {
      pollfd entry{fd, POLLIN, 0};
      ::poll(&entry, 1, static_cast<int>(left.count()));
    } else {
      // No exit notification from this kernel: look again shortly.
      std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(20)));
    }
  }
  if (fd >= 0) ::close(fd);
  return reap(false);
}

void ChildProcess::stop(std::chrono::milliseconds grace) {
  if (pid_ <= 0 || reap(false)) return;
  ::kill(pid_, SIGTERM);
  if (waitForExit(grace)) return;
  ::kill(pid_, SIGKILL);
  reap(true);
}

bool ChildProcess::exitedNormally() const {
  return reaped_ && waitStatus_ != -1 && WIFEXITED(waitStatus_);
}

int ChildProcess::exitCode() const { return exitedNormally() ? WEXITSTATUS(waitStatus_) : -1; }

std::string ChildProcess::describeEnd() const {
  if (!reaped_) return "still running";
  if (waitStatus_ == -1) return "reaped elsewhere";
  if (WIFEXITED(waitStatus_)) return "exit status " + std::to_string(WEXITSTATUS(waitStatus_));
  if (WIFSIGNALED(waitStatus_)) return "killed by signal " + std::to_string(WTERMSIG(waitStatus_));
  return "ended";
}

}  // namespace velqor_interop
