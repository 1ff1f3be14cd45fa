// A program run as a child process, stopped and reaped by the owner's destructor.
#ifndef VELQOR_TESTS_INTEROP_CHILD_PROCESS_HPP
#define VELQOR_TESTS_INTEROP_CHILD_PROCESS_HPP

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace velqor_interop {

class ChildProcess {
 public:
  // Starts `program` (a path; no search in PATH) with `arguments` (argv[1] onwards). Standard
  // input reads /dev/null; standard output and standard error go to the named files (created
  // or truncated), or stay the parent's when a name is empty. The child gets SIGKILL when the
  // thread that started it ends, so a killed test run leaves nothing behind: start long-lived
  // children from the main thread. Throws std::runtime_error when fork() fails; a program
  // that cannot be executed exits with status 127.
  ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
               const std::string& stdoutPath = "", const std::string& stderrPath = "");
  // Stops the child as stop() does, unless it has been reaped already.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }

  // True while the child has not exited. Reaps it when it has.
  bool isRunning();
  // Waits until the child exits, for at most `limit`. Returns true when it has exited.
  bool waitForExit(std::chrono::milliseconds limit);
  // Sends SIGTERM, waits up to `grace` and then sends SIGKILL; always reaps the child.
  void stop(std::chrono::milliseconds grace = std::chrono::seconds(5));

  // True when the child has been reaped after it called exit() (not killed by a signal).
  bool exitedNormally() const;
  // The child's exit status when exitedNormally(), else -1.
  int exitCode() const;
  // A short description of how the child ended, for failure messages.
  std::string describeEnd() const;

 private:
  bool reap(bool block);

  pid_t pid_ = -1;
  bool reaped_ = false;
  int waitStatus_ = 0;
};

}  // namespace velqor_interop

#endif  // VELQOR_TESTS_INTEROP_CHILD_PROCESS_HPP
