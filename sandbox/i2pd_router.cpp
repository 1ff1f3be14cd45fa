#include "i2pd_router.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <velqor/i2p_socket.hpp>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

namespace velqor_sandbox {

namespace {

// The router's settings besides its ports and directory: on loopback only, no peers, no
// reseeding, zero-hop tunnels. NTCP2 stays on because i2pd refuses to run without a transport;
// floodfill lets one local destination find another's lease set.
constexpr char kConfiguration[] = R"(log = file
loglevel = info
host = 127.0.0.1
address4 = 127.0.0.1
nat = false
netid = 77
floodfill = true
notransit = true
[ssu2]
enabled = false
[http]
enabled = false
[httpproxy]
enabled = false
[socksproxy]
enabled = false
[reseed]
threshold = 0
urls =
yggurls =
[addressbook]
defaulturl =
subscriptions =
[exploratory]
inbound.length = 0
outbound.length = 0
)";

std::string readTextFile(const std::string& path) {  // "" when unreadable
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A socket of `type` bound to loopback `port` (0: any); sets `port` to the port bound, 0 when it
// is taken. TCP sockets use SO_REUSEADDR as i2pd does, so ports in TIME_WAIT count as free.
int boundSocket(int type, uint16_t& port) {
  const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  const int on = 1;
  if (type == SOCK_STREAM) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof addr;
  const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) == 0;
  port = ok ? ntohs(addr.sin_port) : 0;
  return fd;
}

}  // namespace

I2pdRouter::I2pdRouter(const std::string& hosts) {
  // Another program may take a chosen port before i2pd binds it: then start again elsewhere.
  for (int attempt = 0; attempt < 3; ++attempt) {
    removeAll();
    directory_ = std::filesystem::temp_directory_path() / "velqor-i2pd.XXXXXX";
    if (!::mkdtemp(directory_.data())) throw std::runtime_error("cannot create " + directory_);
    std::ofstream(file("i2pd.conf")) << kConfiguration;
    std::ofstream(file("hosts.txt")) << hosts;  // read by i2pd only when it starts
    // SAM on a port P with UDP P - 1 free too (i2pd's SAM datagram port), and NTCP2; all held
    // together so that no two choices are the same port.
    uint16_t sam = 0, udp = 0, ntcp2 = 0;
    for (int fd : {boundSocket(SOCK_STREAM, sam), boundSocket(SOCK_DGRAM, udp = sam - 1),
                   boundSocket(SOCK_STREAM, ntcp2)})
      ::close(fd);
    samPort_ = sam;
    arguments_ = {"/usr/sbin/i2pd", "--conf=" + file("i2pd.conf"), "--datadir=" + directory_,
                  "--port=" + std::to_string(ntcp2), "--sam.port=" + std::to_string(sam)};
    if (sam > 1024 && udp != 0 && ntcp2 != 0 && launch()) return;
  }
  const std::string log = logTail();
  removeAll();
  throw std::runtime_error("i2pd did not answer HELLO; end of its log:\n" + log);
}

I2pdRouter::~I2pdRouter() { removeAll(); }

std::string I2pdRouter::logTail() const {
  const std::string log = readTextFile(file("i2pd.log"));
  return log.substr(log.size() - std::min<std::size_t>(log.size(), 2000));
}

bool I2pdRouter::isRunning() {
  int status = 0;
  if (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) != 0) {
    pid_ = -1;
    exitReason_ = WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status))
                                      : "exited with status " + std::to_string(WEXITSTATUS(status));
  }
  return pid_ > 0;
}

void I2pdRouter::kill() {
  if (pid_ > 0 && ::kill(pid_, SIGKILL) == 0) ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

void I2pdRouter::stop(int graceMilliseconds) {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMilliseconds);
  while (isRunning() && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // polling a child's exit
  }
  kill();
}

void I2pdRouter::restart() {
  if (!launch())
    throw std::runtime_error("i2pd did not start again; end of its log:\n" + logTail());
}

bool I2pdRouter::launch() {
  std::vector<char*> argv;  // prepared here: after fork() no allocation
  for (std::string& word : arguments_) argv.push_back(word.data());
  argv.push_back(nullptr);
  const std::string log = file("i2pd.log");  // its standard output and error too
  const pid_t parent = ::getpid();
  exitReason_.clear();
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(126);
    sigset_t none;  // a caller may block the stop signals for its sigwait()
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (out < 0 || ::dup2(out, STDOUT_FILENO) < 0 || ::dup2(out, STDERR_FILENO) < 0) ::_exit(126);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  // The bridge gives no sign when it listens: probe it (about 1 s on this router) until i2pd
  // ends. A bridge that takes the connection but stays silent fails the probe.
  SAM::TimeLimits limits;
  limits.reply = std::chrono::seconds(2);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    if (!isRunning()) return false;
    if (!SAM::I2pSocket(kRouterHost, samPort_, limits).getVersion().empty()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // polling a port with no event
  }
  return false;
}

void I2pdRouter::removeAll() {
  kill();
  std::error_code ignored;
  if (!directory_.empty()) std::filesystem::remove_all(directory_, ignored);
}

}  // namespace velqor_sandbox
