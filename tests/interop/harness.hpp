// The interop harness: temporary directories, child processes and a private i2pd router (its own
// directory, free loopback ports and the configuration in i2pd.conf).
#ifndef VELQOR_TESTS_INTEROP_HARNESS_HPP
#define VELQOR_TESTS_INTEROP_HARNESS_HPP

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
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
  // SIGKILL, as in a crash: the connections to it end at once; its directory and ports stay.
  void kill();
  // Starts the killed router again in its directory, on the same ports, and waits until its
  // bridge answers HELLO. Throws std::runtime_error with the end of its log when it does not.
  void restart();

 private:
  bool startOnce(const std::vector<HostEntry>& hosts);
  bool launch();  // starts i2pd on the written configuration and waits for HELLO
  uint16_t samPort_ = 0;
  uint16_t ntcp2Port_ = 0;
  std::unique_ptr<TempDirectory> directory_;
  std::unique_ptr<ChildProcess> process_;
};

// Reads from `fd` until `marker` has come, or with "" until the peer closes.
inline std::string receiveUntil(int fd, const std::string& marker) {
  std::string received;
  char buffer[16384];
  ssize_t got = 0;
  while ((marker.empty() || received.find(marker) == std::string::npos) &&
         (got = ::recv(fd, buffer, sizeof buffer, 0)) > 0) {
    received.append(buffer, static_cast<std::size_t>(got));
  }
  return received;
}

// A TCP server on an ephemeral loopback port, serving its connections one after the other with
// `serve`, which returns what the peer sent.
class LocalServer {
 public:
  using Serve = std::function<std::string(int fd)>;
  explicit LocalServer(Serve serve = [](int fd) { return receiveUntil(fd, ""); })
      : serve_(std::move(serve)), listen_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listen_, 16) != 0 ||
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
      throw std::runtime_error("cannot listen on loopback");
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { run(); });
  }
  ~LocalServer() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
      if (current_ >= 0) ::shutdown(current_, SHUT_RDWR);  // wakes `serve`
    }
    ::shutdown(listen_, SHUT_RDWR);  // wakes accept()
    thread_.join();
    ::close(listen_);
  }

  uint16_t port() const { return port_; }
  int connectionCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return accepted_;
  }
  // What connection `index` sent, once it has been served.
  std::string received(std::size_t index) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!served_.wait_for(lock, std::chrono::seconds(60),
                          [&] { return received_.size() > index; })) {
      return "(no connection)";
    }
    return received_[index];
  }

 private:
  void run() {
    for (;;) {
      const int fd = ::accept(listen_, nullptr, nullptr);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (fd < 0 || stopping_) {
          if (fd >= 0) ::close(fd);
          return;
        }
        current_ = fd;
        ++accepted_;
      }
      const std::string got = serve_(fd);
      std::lock_guard<std::mutex> lock(mutex_);
      current_ = -1;
      ::close(fd);
      received_.push_back(got);
      served_.notify_all();
    }
  }

  Serve serve_;
  int listen_;
  uint16_t port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable served_;
  bool stopping_ = false;
  int current_ = -1;
  int accepted_ = 0;
  std::vector<std::string> received_;
};

}  // namespace velqor_interop

#endif  // VELQOR_TESTS_INTEROP_HARNESS_HPP
