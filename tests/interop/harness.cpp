#include "harness.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <thread>
#include <tuple>

namespace velqor_interop {

void writeTextFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string readTextFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string patternBytes(std::size_t size, uint32_t seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) {
    const uint32_t draw = generator();
    byte = (draw & 7u) == 0 ? '\0' : static_cast<char>(draw >> 8);
  }
  return bytes;
}

TempDirectory::TempDirectory(const std::string& prefix) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" + prefix + "XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create " + pattern);
  path_ = pattern;
}

TempDirectory::~TempDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::string& stdoutPath, const std::string& stderrPath) {
  std::vector<std::string> words{program};  // prepared here: after fork() no allocation
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  const pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed for " + program);
  if (pid_ > 0) return;
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) ::_exit(126);
  sigset_t none;  // velqor_private_router blocks the stop signals for its sigwait()
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  const int in = ::open("/dev/null", O_RDONLY);
  const int out = ::open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int err = ::open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0 || out < 0 || err < 0) ::_exit(126);
  ::dup2(in, STDIN_FILENO);
  ::dup2(out, STDOUT_FILENO);
  ::dup2(err, STDERR_FILENO);
  ::execv(program.c_str(), argv.data());
  ::_exit(127);
}

bool ChildProcess::reap() {
  if (!reaped_ && ::waitpid(pid_, &status_, WNOHANG) != 0) reaped_ = true;  // or not our child
  return reaped_;
}

bool ChildProcess::waitForExit(std::chrono::milliseconds limit) {
  const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));  // readable on exit
  if (fd >= 0 && !reap()) {
    pollfd entry{fd, POLLIN, 0};
    ::poll(&entry, 1, static_cast<int>(limit.count()));
  }
  if (fd >= 0) ::close(fd);
  return reap();
}

void ChildProcess::stop() {
  if (pid_ <= 0 || reap()) return;
  ::kill(pid_, SIGTERM);
  if (waitForExit(std::chrono::seconds(5))) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, &status_, 0);
  reaped_ = true;
}

std::string ChildProcess::describeEnd() const {
  if (!reaped_) return "running";
  if (WIFEXITED(status_)) return "exit status " + std::to_string(WEXITSTATUS(status_));
  return "killed by signal " + std::to_string(WTERMSIG(status_));
}

namespace {

sockaddr_in loopback(uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  return addr;
}

// Binds a socket of `type` to loopback `port` (0: any) and keeps it in `held`; returns the port,
// 0 when taken. TCP probes use SO_REUSEADDR as i2pd does, so ports in TIME_WAIT count as free.
uint16_t bindHeld(std::vector<int>& held, int type, uint16_t port) {
  const int fd = ::socket(AF_INET, type, 0);
  if (fd < 0) return 0;
  held.push_back(fd);
  const int on = 1;
  if (type == SOCK_STREAM) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr = loopback(port);
  socklen_t length = sizeof addr;
  const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) == 0;
  return ok ? ntohs(addr.sin_port) : 0;
}

// Free ports: SAM on P with UDP P - 1 free too (i2pd's SAM datagram port), and NTCP2.
std::pair<uint16_t, uint16_t> findFreePorts() {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::vector<int> held;  // held together so that no two choices are the same port
    const uint16_t sam = bindHeld(held, SOCK_STREAM, 0);
    const bool ok = sam > 1024 && bindHeld(held, SOCK_DGRAM, sam - 1) != 0;
    const uint16_t ntcp2 = ok ? bindHeld(held, SOCK_STREAM, 0) : 0;
    for (int fd : held) ::close(fd);
    if (ntcp2 != 0) return {sam, ntcp2};
  }
  throw std::runtime_error("no free loopback ports for i2pd");
}

bool answersHello(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  timeval limit{2, 0};  // a bridge that takes the connection but stays silent fails the probe
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  const sockaddr_in addr = loopback(port);
  const std::string hello = "HELLO VERSION MIN=3.0 MAX=3.1\n";
  std::string reply;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 &&
      ::send(fd, hello.data(), hello.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(hello.size())) {
    char buffer[256];
    ssize_t got = 0;
    while (reply.find('\n') == std::string::npos && (got = ::recv(fd, buffer, 256, 0)) > 0) {
      reply.append(buffer, static_cast<std::size_t>(got));
    }
  }
  ::close(fd);
  return reply.rfind("HELLO REPLY ", 0) == 0 && reply.find(" RESULT=OK") < reply.find('\n');
}

}  // namespace

I2pdRouter::I2pdRouter(const std::vector<HostEntry>& hosts) {
  // Another program may take a chosen port before i2pd binds it: then start again elsewhere.
  std::string log;
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (startOnce(hosts)) return;
    log = logTail();
    stop();
  }
  throw std::runtime_error("i2pd did not answer HELLO; end of its log:\n" + log);
}

bool I2pdRouter::startOnce(const std::vector<HostEntry>& hosts) {
  directory_ = std::make_unique<TempDirectory>("velqor-i2pd.");
  const std::string data = directory_->file("data");
  const std::string tunnels = directory_->file("tunnels.d");
  if (::mkdir(data.c_str(), 0700) != 0 || ::mkdir(tunnels.c_str(), 0700) != 0) {
    throw std::runtime_error("cannot create the directories of i2pd in " + directory());
  }
  std::string hostsText;  // read by i2pd only when it starts
  for (const HostEntry& entry : hosts) hostsText += entry.name + "=" + entry.destination + "\n";
  writeTextFile(data + "/hosts.txt", hostsText);
  writeTextFile(directory_->file("tunnels.conf"), "");
  std::tie(samPort_, ntcp2Port_) = findFreePorts();
  return launch();
}

bool I2pdRouter::launch() {
  const std::string data = directory_->file("data");
  process_ = std::make_unique<ChildProcess>(
      "/usr/sbin/i2pd",
      std::vector<std::string>{
          "--conf=" VELQOR_I2PD_CONF, "--port=" + std::to_string(ntcp2Port_),
          "--sam.port=" + std::to_string(samPort_), "--tunconf=" + directory_->file("tunnels.conf"),
          "--tunnelsdir=" + directory_->file("tunnels.d"), "--datadir=" + data,
          "--certsdir=/usr/share/i2pd/certificates", "--pidfile=" + data + "/i2pd.pid",
          "--logfile=" + data + "/i2pd.log"},
      directory_->file("i2pd.out"), directory_->file("i2pd.out"));

  // The bridge gives no sign when it listens: probe it, pausing longer each time.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  auto pause = std::chrono::milliseconds(10);
  while (!process_->waitForExit(pause) && std::chrono::steady_clock::now() < deadline) {
    if (answersHello(samPort_)) return true;
    pause = std::min(pause * 2, std::chrono::milliseconds(200));
  }
  return false;
}

void I2pdRouter::kill() {
  if (!process_) return;
  ::kill(process_->pid(), SIGKILL);
  process_->waitForExit(std::chrono::seconds(30));
  process_.reset();
}

void I2pdRouter::restart() {
  if (!launch())
    throw std::runtime_error("i2pd did not start again; end of its log:\n" + logTail());
}

void I2pdRouter::stop() {
  process_.reset();
  directory_.reset();
}

std::string I2pdRouter::logTail() const {
  if (!directory_) return "";
  const std::string log =
      readTextFile(directory_->file("data/i2pd.log")) + readTextFile(directory_->file("i2pd.out"));
  std::size_t start = log.size();
  for (int seen = 0; start > 0 && !(log[start - 1] == '\n' && ++seen > 20);) --start;
  return log.substr(start);
}

}  // namespace velqor_interop
