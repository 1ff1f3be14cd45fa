#include "fake_bridge.hpp"

#include <arpa/inet.h>
#include <dirent.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace velqor_test {

namespace {

std::string readKeyFile(const char* name) {
  std::ifstream in(std::string(VELQOR_TEST_DATA_DIR) + "/" + name);
  std::string key;
  if (!std::getline(in, key)) throw std::runtime_error(std::string("cannot read ") + name);
  return key;
}

// The local port of `fd` when it is a TCP socket connected to 127.0.0.1:`remotePort`, else 0.
uint16_t localPortIfConnectedTo(int fd, uint16_t remotePort) {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
      peer.sin_family != AF_INET || ntohs(peer.sin_port) != remotePort ||
      peer.sin_addr.s_addr != htonl(INADDR_LOOPBACK)) {
    return 0;
  }
  sockaddr_in self{};
  length = sizeof self;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&self), &length) != 0) return 0;
  return ntohs(self.sin_port);
}

// The descriptor of this process that is the client end of the connection between
// `clientPort` and `bridgePort`, or -1 when the client lives elsewhere.
int clientEndOf(uint16_t clientPort, uint16_t bridgePort) {
  int found = -1;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return found;
  while (const dirent* entry = readdir(dir)) {
    const int fd = std::atoi(entry->d_name);
    if (entry->d_name[0] == '.' || fd == dirfd(dir)) continue;
    if (localPortIfConnectedTo(fd, bridgePort) == clientPort) {
      found = fd;
      break;
    }
  }
  closedir(dir);
  return found;
}

sockaddr_in addressOf(const std::string& address, uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = inet_addr(address.c_str());
  return addr;
}

// A UDP socket bound to `address`:`port` (0: chosen by the kernel); its port goes to `bound`.
int boundUdpSocket(const std::string& address, uint16_t port, uint16_t& bound) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr = addressOf(address, port);
  socklen_t len = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    throw std::runtime_error("fake bridge: UDP socket on " + address + " failed");
  }
  bound = ntohs(addr.sin_port);
  return fd;
}

}  // namespace

const std::string& testKeyPriv() {
  static const std::string key = readKeyFile("test-key.priv");
  return key;
}

const std::string& testKeyPub() {
  static const std::string key = readKeyFile("test-key.pub");
  return key;
}

void Gate::open() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
  }
  cv_.notify_all();
}

void Gate::wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait(lock, [this] { return open_; });
}

bool Gate::isOpen() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return open_;
}

BridgeConnection::BridgeConnection(int fd, int id, uint16_t peerPort)
    : fd_(fd), id_(id), peerPort_(peerPort) {}

BridgeConnection::~BridgeConnection() {
  if (fd_ >= 0) ::close(fd_);
}

void BridgeConnection::send(const std::string& bytes) {
  std::size_t sent = 0;
  while (fd_ >= 0 && sent < bytes.size()) {
    ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    sent += static_cast<std::size_t>(n);
    sentBytes_ += static_cast<std::size_t>(n);
  }
}

void BridgeConnection::sendSplit(const std::vector<std::string>& pieces) {
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0) waitUntilPeerHasRead();
    send(pieces[i]);
  }
}

void BridgeConnection::waitUntilPeerHasRead() {
  if (fd_ < 0) return;
  sockaddr_in self{};
  socklen_t len = sizeof self;
  if (getsockname(fd_, reinterpret_cast<sockaddr*>(&self), &len) != 0) return;
  const uint16_t selfPort = ntohs(self.sin_port);
  // The client is a socket of this process: wait until it has received every byte sent so far
  // and its program has taken them all out of the receive queue. Give up once the connection
  // is closed or the client's descriptor is no longer that socket, so a client that stops
  // reading cannot hold up the bridge's shutdown.
  const int client = clientEndOf(peerPort_, selfPort);
  if (client < 0) return;
  while (!closed_ && localPortIfConnectedTo(client, selfPort) == peerPort_) {
    tcp_info info{};
    socklen_t length = sizeof info;
    int unread = 0;
    if (getsockopt(client, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
        ioctl(client, FIONREAD, &unread) != 0 ||
        (info.tcpi_bytes_received >= sentBytes_ && unread == 0)) {
      return;
    }
    std::this_thread::yield();
  }
}

std::string BridgeConnection::readLine() {
  for (;;) {
    std::size_t nl = buffer_.find('\n');
    if (nl != std::string::npos) {
      std::string line = buffer_.substr(0, nl + 1);
      buffer_.erase(0, nl + 1);
      return line;
    }
    char chunk[4096];
    ssize_t n = fd_ < 0 ? 0 : ::recv(fd_, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return "";
    buffer_.append(chunk, static_cast<std::size_t>(n));
  }
}

std::string BridgeConnection::readSome(std::size_t limit) {
  if (limit == 0) return "";
  if (!buffer_.empty()) {
    std::string out = buffer_.substr(0, limit);
    buffer_.erase(0, out.size());
    return out;
  }
  std::string chunk(limit, '\0');
  for (;;) {
    ssize_t n = fd_ < 0 ? 0 : ::recv(fd_, &chunk[0], chunk.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return "";
    chunk.resize(static_cast<std::size_t>(n));
    return chunk;
  }
}

std::string BridgeConnection::readAll() {
  std::string all;
  for (std::string piece = readSome(); !piece.empty(); piece = readSome()) all += piece;
  return all;
}

void BridgeConnection::close() {
  // Only shut down here: the descriptor stays allocated until the object dies, so the bridge's
  // destructor can never shut down a descriptor number that was reused meanwhile.
  if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
  closed_ = true;
}

void BridgeConnection::shutdownWrite() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

FakeBridge::FakeBridge() {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) throw std::runtime_error("fake bridge: socket failed");
  // Suites that make thousands of connections leave as many loopback ports in TIME-WAIT;
  // SO_REUSEADDR keeps those from making the next bridge's bind fail.
  int one = 1;
  setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listenFd_, 128) != 0) {
    ::close(listenFd_);
    throw std::runtime_error("fake bridge: bind or listen failed");
  }
  socklen_t len = sizeof addr;
  getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  udpFd_ = boundUdpSocket("127.0.0.1", 0, udpPort_);

  on("HELLO VERSION", "HELLO REPLY RESULT=OK VERSION=3.1\n");
  on("SESSION CREATE", "SESSION STATUS RESULT=OK DESTINATION=" + testKeyPriv() + "\n");

  acceptThread_ = std::thread([this] { acceptLoop(); });
}

FakeBridge::~FakeBridge() {
  std::vector<std::shared_ptr<Worker>> workers;
  std::vector<std::shared_ptr<Gate>> gates;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    workers = workers_;
    gates = gates_;
  }
  ::shutdown(listenFd_, SHUT_RDWR);
  acceptThread_.join();
  ::close(listenFd_);
  ::close(udpFd_);
  for (auto& gate : gates) gate->open();
  for (auto& worker : workers) {
    bool done;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done = worker->done;
    }
    if (!done) worker->conn->close();
    worker->thread.join();
  }
}

std::string FakeBridge::receiveDatagram() {
  std::string datagram(65536, '\0');  // more than any UDP datagram over IPv4
  const ssize_t n = ::recv(udpFd_, &datagram[0], datagram.size(), 0);
  if (n < 0) throw std::runtime_error("fake bridge: UDP receive failed");
  datagram.resize(static_cast<std::size_t>(n));
  return datagram;
}

void FakeBridge::sendDatagram(uint16_t port, const std::string& bytes,
                              const std::string& fromAddress, uint16_t fromPort) {
  uint16_t bound = 0;
  const int fd = fromAddress.empty() ? udpFd_ : boundUdpSocket(fromAddress, fromPort, bound);
  const sockaddr_in to = addressOf("127.0.0.1", port);
  const ssize_t n = ::sendto(fd, bytes.data(), bytes.size(), 0,
                             reinterpret_cast<const sockaddr*>(&to), sizeof to);
  if (fd != udpFd_) ::close(fd);
  if (n != static_cast<ssize_t>(bytes.size())) throw std::runtime_error("fake bridge: UDP send");
}

void FakeBridge::on(const std::string& prefix, Handler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  rules_.push_back(Rule{prefix, std::move(handler)});
}

void FakeBridge::on(const std::string& prefix, const std::string& reply) {
  on(prefix, [reply](BridgeConnection& conn, const std::string&) { conn.send(reply); });
}

std::shared_ptr<Gate> FakeBridge::makeGate() {
  auto gate = std::make_shared<Gate>();
  std::lock_guard<std::mutex> lock(mutex_);
  gates_.push_back(gate);
  return gate;
}

std::vector<std::string> FakeBridge::lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

std::vector<std::string> FakeBridge::linesStartingWith(const std::string& prefix) const {
  std::vector<std::string> out;
  for (const auto& line : lines()) {
    if (line.compare(0, prefix.size(), prefix) == 0) out.push_back(line);
  }
  return out;
}

int FakeBridge::connectionCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(closed_.size());
}

bool FakeBridge::isConnectionClosed(int id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return id >= 0 && id < static_cast<int>(closed_.size()) && closed_[id];
}

void FakeBridge::closeConnection(int id) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& worker : workers_) {
      if (worker->conn->id() == id) worker->conn->close();
    }
  }
  if (id < connectionCount()) waitUntilClosed(id);
}

void FakeBridge::waitForConnections(int count) const {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait(lock, [&] { return static_cast<int>(closed_.size()) >= count; });
}

void FakeBridge::waitForLines(std::size_t count) const {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait(lock, [&] { return lines_.size() >= count; });
}

void FakeBridge::waitUntilClosed(int id) const {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait(lock, [&] { return id < static_cast<int>(closed_.size()) && closed_[id]; });
}

void FakeBridge::acceptLoop() {
  for (;;) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;  // shut down by the destructor
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) {
      ::close(fd);
      return;
    }
    // Join the threads of connections that have ended, so a long test does not pile them up.
    for (auto it = workers_.begin(); it != workers_.end();) {
      if ((*it)->done) {
        (*it)->thread.join();
        it = workers_.erase(it);
      } else {
        ++it;
      }
    }
    auto worker = std::make_shared<Worker>();
    worker->conn = std::make_shared<BridgeConnection>(fd, static_cast<int>(closed_.size()),
                                                      ntohs(peer.sin_port));
    closed_.push_back(false);
    workers_.push_back(worker);
    worker->thread = std::thread([this, worker] {
      serve(worker->conn);
      std::lock_guard<std::mutex> lock(mutex_);
      worker->done = true;
      closed_[worker->conn->id()] = true;
      cv_.notify_all();
    });
    cv_.notify_all();
  }
}

void FakeBridge::serve(const std::shared_ptr<BridgeConnection>& conn) {
  for (;;) {
    std::string line = conn->readLine();
    if (line.empty()) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(line);
    }
    cv_.notify_all();
    Handler handler = findHandler(line);
    if (!handler) {
      conn->close();
      return;
    }
    handler(*conn, line);
    if (conn->isClosed()) return;
  }
}

FakeBridge::Handler FakeBridge::findHandler(const std::string& line) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = rules_.rbegin(); it != rules_.rend(); ++it) {
    if (line.compare(0, it->prefix.size(), it->prefix) == 0) return it->handler;
  }
  return nullptr;
}

}  // namespace velqor_test
