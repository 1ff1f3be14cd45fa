#include "i2pd_router.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>
#include <thread>

namespace velqor_interop {

namespace {

// The router's configuration. Loopback only; NTCP2 stays on because i2pd refuses to run
// without a transport; floodfill lets one local destination find another's lease set; the
// exploratory tunnels have zero hops because there are no peers to build longer ones with.
const char kConfigTemplate[] = R"(log = file
loglevel = info
ipv4 = true
ipv6 = false
host = 127.0.0.1
address4 = 127.0.0.1
port = @NTCP2_PORT@
nat = false
netid = 77
floodfill = true
notransit = true
daemon = false
service = false

[ntcp2]
enabled = true
published = true
port = @NTCP2_PORT@
[ssu2]
enabled = false
[http]
enabled = false
[httpproxy]
enabled = false
[socksproxy]
enabled = false
[sam]
enabled = true
address = 127.0.0.1
port = @SAM_PORT@
[bob]
enabled = false
[i2cp]
enabled = false
[i2pcontrol]
enabled = false
[upnp]
enabled = false
[nettime]
enabled = false
[reseed]
verify = false
threshold = 0
urls =
yggurls =
[addressbook]
enabled = true
defaulturl =
subscriptions =
[exploratory]
inbound.length = 0
outbound.length = 0
[meshnets]
yggdrasil = false
)";

const char kCertificatesDir[] = "/usr/share/i2pd/certificates";

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// Sockets held open while ports are being chosen, so that one choice cannot take another's
// port. They are closed right before the router starts and binds the same ports.
class HeldSockets {
 public:
  ~HeldSockets() {
    for (int fd : fds_) ::close(fd);
  }
  // Binds a socket of `type` to 127.0.0.1:`port` (0: the kernel chooses). Returns the bound
  // port, or 0 when the port is taken.
  uint16_t bind(int type, uint16_t port) {
    const int fd = ::socket(AF_INET, type, 0);
    if (fd < 0) return 0;
    fds_.push_back(fd);
    if (type == SOCK_STREAM) {
      // i2pd binds its TCP ports with SO_REUSEADDR, so a port that only old connections in
      // TIME_WAIT still hold serves it; without the option the probe would refuse such ports,
      // and busy machines have thousands of them.
      const int on = 1;
      ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    socklen_t length = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
      return 0;
    }
    return ntohs(addr.sin_port);
  }

 private:
  std::vector<int> fds_;
};

struct RouterPorts {
  uint16_t sam = 0;
  uint16_t ntcp2 = 0;
};

// Free loopback ports for the router: the SAM port P, with UDP port P - 1 free too (i2pd puts
// the SAM datagram port there), and the NTCP2 port.
RouterPorts findFreePorts() {
  for (int attempt = 0; attempt < 100; ++attempt) {
    HeldSockets held;
    RouterPorts ports;
    ports.sam = held.bind(SOCK_STREAM, 0);
    if (ports.sam <= 1024) continue;
    const uint16_t datagram = ports.sam - 1;
    if (held.bind(SOCK_DGRAM, datagram) == 0) continue;
    ports.ntcp2 = held.bind(SOCK_STREAM, 0);
    if (ports.ntcp2 == 0) continue;
    return ports;
  }
  throw std::runtime_error("no free loopback ports for i2pd");
}

// True when the SAM bridge at 127.0.0.1:`port` answers HELLO with RESULT=OK.
bool answersHello(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  timeval limit{2, 0};  // a bridge that takes the connection but stays silent fails this probe
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  std::string reply;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    const std::string hello = "HELLO VERSION MIN=3.0 MAX=3.1\n";
    if (::send(fd, hello.data(), hello.size(), MSG_NOSIGNAL) ==
        static_cast<ssize_t>(hello.size())) {
      char buffer[256];
      while (reply.find('\n') == std::string::npos) {
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        reply.append(buffer, static_cast<std::size_t>(got));
      }
    }
  }
  ::close(fd);
  return reply.rfind("HELLO REPLY ", 0) == 0 && reply.find(" RESULT=OK") < reply.find('\n');
}

}  // namespace

I2pdRouter::I2pdRouter(const std::vector<HostEntry>& hosts, std::chrono::milliseconds readyLimit) {
  // A port chosen here can be taken by someone else before i2pd binds it; then i2pd does not
  // answer and the start is repeated on other ports.
  if (::access(kExecutable, X_OK) != 0) {
    throw std::runtime_error(std::string(kExecutable) + " is missing: install the i2pd package");
  }
  std::string lastLog;
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (startOnce(hosts, readyLimit)) return;
    lastLog = logTail();
    stop();
  }
  throw std::runtime_error("i2pd did not answer HELLO; end of its log:\n" + lastLog);
}

I2pdRouter::~I2pdRouter() { stop(); }

bool I2pdRouter::startOnce(const std::vector<HostEntry>& hosts,
                           std::chrono::milliseconds readyLimit) {
  directory_ = std::make_unique<TempDirectory>("velqor-i2pd.");
  const std::string dataDir = directory_->file("data");
  const std::string tunnelsDir = directory_->file("tunnels.d");
  if (::mkdir(dataDir.c_str(), 0700) != 0 || ::mkdir(tunnelsDir.c_str(), 0700) != 0) {
    throw std::runtime_error("cannot create the directories of i2pd in " + directory());
  }
  // i2pd reads its address book from hosts.txt only when it starts.
  std::string hostsText;
  for (const HostEntry& entry : hosts) hostsText += entry.name + "=" + entry.destination + "\n";
  writeTextFile(dataDir + "/hosts.txt", hostsText);
  writeTextFile(directory_->file("tunnels.conf"), "");

  const RouterPorts ports = findFreePorts();
  samPort_ = ports.sam;
  std::string config = replaceAll(kConfigTemplate, "@SAM_PORT@", std::to_string(ports.sam));
  config = replaceAll(config, "@NTCP2_PORT@", std::to_string(ports.ntcp2));
  writeTextFile(directory_->file("i2pd.conf"), config);

  process_ =
      std::make_unique<ChildProcess>(kExecutable,
                                     std::vector<std::string>{
                                         "--conf=" + directory_->file("i2pd.conf"),
                                         "--tunconf=" + directory_->file("tunnels.conf"),
                                         "--tunnelsdir=" + tunnelsDir,
                                         "--datadir=" + dataDir,
                                         std::string("--certsdir=") + kCertificatesDir,
                                         "--pidfile=" + dataDir + "/i2pd.pid",
                                         "--logfile=" + dataDir + "/i2pd.log",
                                     },
                                     directory_->file("i2pd.out"), directory_->file("i2pd.out"));

  // The bridge gives no sign when it starts listening: probe it, with a growing pause
  // between probes, until it answers, the router dies, or the time is up.
  const auto deadline = std::chrono::steady_clock::now() + readyLimit;
  auto pause = std::chrono::milliseconds(10);
  while (process_->isRunning() && std::chrono::steady_clock::now() < deadline) {
    if (answersHello(samPort_)) return true;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(200));
  }
  return false;
}

void I2pdRouter::stop() {
  // With a SAM session still open, i2pd 2.45 does not end on SIGTERM alone: stop() sends
  // SIGKILL after the grace period.
  if (process_) process_->stop(std::chrono::seconds(5));
  process_.reset();
  directory_.reset();
}

std::string I2pdRouter::logTail(std::size_t lines) const {
  if (!directory_) return "";
  const std::string log =
      readTextFile(directory_->file("data/i2pd.log")) + readTextFile(directory_->file("i2pd.out"));
  std::size_t start = log.size();
  std::size_t seen = 0;
  while (start > 0 && !(log[start - 1] == '\n' && ++seen > lines)) --start;
  return log.substr(start);
}

}  // namespace velqor_interop
