// The interop harness: a private i2pd router (configured by i2pd.conf, on free loopback ports, in
// a temporary directory of its own) and a loopback server for what comes out of I2P.
#ifndef VELQOR_TESTS_INTEROP_HARNESS_HPP
#define VELQOR_TESTS_INTEROP_HARNESS_HPP

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>
#include <velqor/sam.hpp>

namespace velqor_interop {

constexpr char kRouterHost[] = "127.0.0.1";
// Every SESSION CREATE on this router needs zero hops: without peers longer tunnels never come up.
constexpr char kZeroHopOptions[] = "inbound.length=0 outbound.length=0";
// For sessions that others connect to: without lease set type 1, i2pd 2.45 answers the peer's
// connect but never delivers a byte.
constexpr char kServerSessionOptions[] = "inbound.length=0 outbound.length=0 i2cp.leaseSetType=1";

// Makes a T (a session) in a thread of its own: a session costs about 20 s on this router
// whatever else runs, so all are started at once.
template <class T, class... Arguments>
std::future<std::unique_ptr<T>> startMaking(Arguments... arguments) {
  return std::async(std::launch::async, [=] { return std::make_unique<T>(arguments...); });
}

inline std::string readTextFile(const std::string& path) {  // "" when unreadable
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Reads from `fd` until `marker` has come, or with "" until the peer closes.
inline std::string receiveUntil(int fd, const std::string& marker) {
  std::string received;
  char buffer[16384];
  ssize_t got = 0;
  while ((marker.empty() || received.find(marker) == std::string::npos) &&
         (got = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
    received.append(buffer, static_cast<std::size_t>(got));
  return received;
}

// A socket of `type` bound to loopback `port` (0: any); sets `port` to the port bound, 0 when it
// is taken. TCP sockets use SO_REUSEADDR as i2pd does, so ports in TIME_WAIT count as free.
inline int boundSocket(int type, uint16_t& port) {
  const int fd = ::socket(AF_INET, type, 0);
  const int on = 1;
  if (type == SOCK_STREAM) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof addr;
  const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) == 0;
  port = ok ? ntohs(addr.sin_port) : 0;
  return fd;
}

class I2pdRouter {
 public:
  // Starts i2pd with `hosts` (lines NAME=PUBLIC_DESTINATION) in its address book and waits
  // until its SAM bridge answers HELLO; throws std::runtime_error with the end of its log when
  // it does not. i2pd gets SIGKILL when the thread that started it ends.
  explicit I2pdRouter(const std::string& hosts = "") {
    // Another program may take a chosen port before i2pd binds it: then start again elsewhere.
    for (int attempt = 0; attempt < 3; ++attempt) {
      stop();
      directory_ = std::filesystem::temp_directory_path() / "velqor-i2pd.XXXXXX";
      if (!::mkdtemp(directory_.data())) throw std::runtime_error("cannot create " + directory_);
      std::ofstream(file("hosts.txt")) << hosts;  // read by i2pd only when it starts
      // SAM on a port P with UDP P - 1 free too (i2pd's SAM datagram port), and NTCP2; all held
      // together so that no two choices are the same port.
      uint16_t sam = 0, udp = 0, ntcp2 = 0;
      for (int fd : {boundSocket(SOCK_STREAM, sam), boundSocket(SOCK_DGRAM, udp = sam - 1),
                     boundSocket(SOCK_STREAM, ntcp2)})
        ::close(fd);
      samPort_ = sam;
      arguments_ = {"/usr/sbin/i2pd", "--conf=" VELQOR_I2PD_CONF, "--datadir=" + directory_,
                    "--port=" + std::to_string(ntcp2), "--sam.port=" + std::to_string(sam)};
      if (sam > 1024 && udp != 0 && ntcp2 != 0 && launch()) return;
    }
    const std::string log = logTail();
    stop();
    throw std::runtime_error("i2pd did not answer HELLO; end of its log:\n" + log);
  }
  ~I2pdRouter() { stop(); }
  I2pdRouter(const I2pdRouter&) = delete;
  I2pdRouter& operator=(const I2pdRouter&) = delete;

  uint16_t samPort() const { return samPort_; }
  // A file in the router's directory, which goes with the router; tests may keep files there.
  std::string file(const std::string& name) const { return directory_ + "/" + name; }
  std::string logTail() const {  // the end of the router's log
    const std::string log = readTextFile(file("i2pd.log"));
    return log.substr(log.size() - std::min<std::size_t>(log.size(), 2000));
  }
  // SIGKILL, as in a crash: the connections to it end at once; its directory and ports stay.
  void kill() {
    if (pid_ > 0 && ::kill(pid_, SIGKILL) == 0) ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  // Starts the killed router again on the same ports; throws as the constructor does.
  void restart() {
    if (!launch())
      throw std::runtime_error("i2pd did not start again; end of its log:\n" + logTail());
  }

 private:
  bool launch() {             // starts i2pd and waits for HELLO
    std::vector<char*> argv;  // prepared here: after fork() no allocation
    for (std::string& word : arguments_) argv.push_back(word.data());
    argv.push_back(nullptr);
    const std::string log = file("i2pd.log");  // its standard output and error too
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(126);
      sigset_t none;  // velqor_private_router blocks the stop signals for its sigwait()
      ::sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      if (out < 0 || ::dup2(out, STDOUT_FILENO) < 0 || ::dup2(out, STDERR_FILENO) < 0) ::_exit(126);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    // The bridge gives no sign when it listens: probe it (about 1 s on this router) until i2pd
    // ends. A bridge that takes the connection but stays silent fails the probe.
    const SAM::TimeLimits limits{{}, std::chrono::seconds(2)};  // reply
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
      if (::waitpid(pid_, nullptr, WNOHANG) != 0) {
        pid_ = -1;
        return false;
      }
      if (!SAM::I2pSocket(kRouterHost, samPort_, limits).getVersion().empty()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  void stop() {  // SIGKILL, and the directory removed
    kill();
    std::error_code ignored;
    if (!directory_.empty()) std::filesystem::remove_all(directory_, ignored);
  }

  std::string directory_;
  std::vector<std::string> arguments_;
  uint16_t samPort_ = 0;
  pid_t pid_ = -1;
};

// A TCP server on an ephemeral loopback port, serving its connections one after the other with
// `serve`, which returns what the peer sent.
class LocalServer {
 public:
  explicit LocalServer(std::function<std::string(int fd)> serve =
                           [](int fd) { return receiveUntil(fd, ""); })
      : listen_(boundSocket(SOCK_STREAM, port_)) {
    if (port_ == 0 || ::listen(listen_, 16) != 0) throw std::runtime_error("cannot listen");
    thread_ = std::thread([this, serve] {
      for (int fd; (fd = ::accept(listen_, nullptr, nullptr)) >= 0; ::close(fd)) {
        timeval limit{60, 0};  // a peer that stays silent does not hold the server
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        const std::string got = serve(fd);
        std::lock_guard<std::mutex> lock(mutex_);
        received_.push_back(got);
        served_.notify_all();
      }
    });
  }
  ~LocalServer() {
    ::shutdown(listen_, SHUT_RDWR);  // ends accept(), and the thread once `serve` has returned
    thread_.join();
    ::close(listen_);
  }

  uint16_t port() const { return port_; }
  // What connection `index` sent, once it has been served; "(no connection)" after 60 s.
  std::string received(std::size_t index) {
    std::unique_lock<std::mutex> lock(mutex_);
    const bool served =
        served_.wait_for(lock, std::chrono::seconds(60), [&] { return received_.size() > index; });
    return served ? received_[index] : "(no connection)";
  }

 private:
  uint16_t port_ = 0;  // before listen_, which sets it
  int listen_;
  std::mutex mutex_;
  std::condition_variable served_;
  std::vector<std::string> received_;
  std::thread thread_;
};

}  // namespace velqor_interop

#endif  // VELQOR_TESTS_INTEROP_HARNESS_HPP
