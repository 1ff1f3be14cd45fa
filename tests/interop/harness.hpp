// The interop harness: temporary directories, child processes and a private i2pd router (its own
// directory and configuration, free loopback ports, no peers, no reseeding, zero-hop tunnels).
#ifndef VELQOR_TESTS_INTEROP_HARNESS_HPP
#define VELQOR_TESTS_INTEROP_HARNESS_HPP

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace velqor_interop {

// Every SESSION CREATE on this router needs zero hops: without peers longer tunnels never come up.
constexpr char kZeroHopOptions[] = "inbound.length=0 outbound.length=0";
// For sessions that others connect to: without lease set type 1, i2pd 2.45 answers the peer's
// connect but never delivers a byte.
constexpr char kServerSessionOptions[] = "inbound.length=0 outbound.length=0 i2cp.leaseSetType=1";
constexpr char kRouterHost[] = "127.0.0.1";

void writeTextFile(const std::string& path, const std::string& text);  // throws on failure
std::string readTextFile(const std::string& path);                     // "" when unreadable
// `size` pseudo-random bytes drawn from `seed`; one in eight is zero, often several in a row.
std::string patternBytes(std::size_t size, uint32_t seed);

// A new directory under $TMPDIR or /tmp, removed with its content on destruction.
class TempDirectory {
 public:
  explicit TempDirectory(const std::string& prefix);
  ~TempDirectory();
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A program run with stdin from /dev/null and stdout and stderr to files, stopped on destruction.
// It gets SIGKILL when the thread that started it ends: start long-lived children from main().
class ChildProcess {
 public:
  ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
               const std::string& stdoutPath, const std::string& stderrPath);
  ~ChildProcess() { stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  bool waitForExit(std::chrono::milliseconds limit);  // true once it has exited (and is reaped)
  void stop();                      // SIGTERM, then SIGKILL after 5 s; always reaps
  std::string describeEnd() const;  // "exit status N", "killed by signal N" or "running"

 private:
  bool reap();
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = 0;
};

class I2pdRouter {
 public:
  struct HostEntry {  // an address book line: `name` stands for public `destination`
    std::string name;
    std::string destination;
  };
  // Starts i2pd and waits until its SAM bridge answers HELLO with RESULT=OK. Throws
  // std::runtime_error with the end of its log when it does not; nothing is left running.
  explicit I2pdRouter(const std::vector<HostEntry>& hosts = {});
  ~I2pdRouter() { stop(); }
  I2pdRouter(const I2pdRouter&) = delete;
  I2pdRouter& operator=(const I2pdRouter&) = delete;

  uint16_t samPort() const { return samPort_; }
  pid_t pid() const { return process_ ? process_->pid() : -1; }
  const std::string& directory() const { return directory_->path(); }
  std::string logTail() const;  // the last 20 lines of the router's log
  void stop();                  // stops the router and removes its directory

 private:
  bool startOnce(const std::vector<HostEntry>& hosts);
  uint16_t samPort_ = 0;
  std::unique_ptr<TempDirectory> directory_;
  std::unique_ptr<ChildProcess> process_;
};

}  // namespace velqor_interop

#endif  // VELQOR_TESTS_INTEROP_HARNESS_HPP
