#include "fake_bridge.hpp"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <utility>

namespace velqor_test {

namespace {

std::string firstLineOf(const std::string& name) {
  std::ifstream in(VELQOR_TEST_DATA_DIR "/" + name);
  std::string line;
  if (!std::getline(in, line)) throw std::runtime_error("cannot read " + name);
  return line;
}

// The descriptors open in this process, but the one that lists them.
std::vector<int> descriptors() {
  std::vector<int> fds;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (const dirent* entry = readdir(dir)) {
      const int fd = std::atoi(entry->d_name);
      if (entry->d_name[0] != '.' && fd != dirfd(dir)) fds.push_back(fd);
    }
    closedir(dir);
  }
  return fds;
}

// The local and the remote port of `fd`, or zeros when it is no connected IPv4 socket.
std::pair<uint16_t, uint16_t> portsOf(int fd) {
  sockaddr_in self{}, peer{};
  socklen_t selfLength = sizeof self, peerLength = sizeof peer;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&self), &selfLength) != 0 ||
      getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0 ||
      peer.sin_family != AF_INET) {
    return {0, 0};
  }
  return {ntohs(self.sin_port), ntohs(peer.sin_port)};
}

sockaddr_in addressOf(const std::string& address, uint16_t port) {
  return {AF_INET, htons(port), {inet_addr(address.c_str())}, {}};
}

// A socket of `type` bound to `address`:`port` (0: chosen by the kernel); its port goes to `bound`.
int boundSocket(int type, const std::string& address, uint16_t port, uint16_t& bound) {
  const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  const int one = 1;  // thousands of ports in TIME-WAIT must not fail the bind of a bridge
  if (type == SOCK_STREAM) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr = addressOf(address, port);
  socklen_t length = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), length) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
    throw std::runtime_error("fake bridge: cannot bind to " + address);
  }
  bound = ntohs(addr.sin_port);
  return fd;
}

}  // namespace

const std::string& testKeyPriv() {
  static const std::string key = firstLineOf("test-key.priv");
  return key;
}

const std::string& testKeyPub() {
  static const std::string key = firstLineOf("test-key.pub");
  return key;
}

int openDescriptors() { return static_cast<int>(descriptors().size()); }

int loopbackSocket(uint16_t& port, int backlog) {
  const int fd = boundSocket(SOCK_STREAM, "127.0.0.1", 0, port);
  if (backlog >= 0 && ::listen(fd, backlog) != 0) throw std::runtime_error("cannot listen");
  if (backlog == 0) {  // a connection stays in the accept queue after its own end is closed
    const int queued = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in self = addressOf("127.0.0.1", port);
    if (::connect(queued, reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0)
      throw std::runtime_error("cannot fill the accept queue");
    ::close(queued);
  }
  return fd;
}

BridgeConnection::~BridgeConnection() { ::close(fd_); }

bool BridgeConnection::send(const std::string& bytes) {
  for (std::size_t sent = 0; sent < bytes.size();) {
    const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
    sentBytes_ += static_cast<std::size_t>(n);
  }
  return true;
}

void BridgeConnection::sendSplit(const std::vector<std::string>& pieces) {
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0) waitUntilPeerHas(true);
    send(pieces[i]);
  }
}

// Gives up once the connection is closed or the client's descriptor is another socket, so that a
// client that stops reading cannot hold up the shutdown.
void BridgeConnection::waitUntilPeerHas(bool read) {
  const auto client = std::make_pair(peerPort_, portsOf(fd_).first);
  int fd = -1;
  for (int candidate : descriptors()) {
    if (portsOf(candidate) == client) fd = candidate;
  }
  while (fd >= 0 && !closed_ && portsOf(fd) == client) {
    tcp_info info{};
    socklen_t length = sizeof info;
    int unread = 0;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
        ioctl(fd, FIONREAD, &unread) != 0 ||
        (info.tcpi_bytes_received >= sentBytes_ && (unread == 0 || !read))) {
      return;
    }
    std::this_thread::yield();
  }
}

bool BridgeConnection::receive(std::size_t limit) {
  std::string chunk(limit, '\0');
  ssize_t n;
  do {
    n = ::recv(fd_, &chunk[0], limit, 0);
  } while (n < 0 && errno == EINTR);
  if (n > 0) buffer_.append(chunk, 0, static_cast<std::size_t>(n));
  return n > 0;
}

std::string BridgeConnection::readLine() {
  std::size_t end;
  while ((end = buffer_.find('\n')) == std::string::npos) {
    if (!receive(4096)) return "";
  }
  std::string line = buffer_.substr(0, end + 1);
  buffer_.erase(0, end + 1);
  return line;
}

std::string BridgeConnection::readSome(std::size_t limit) {
  if (buffer_.empty() && !receive(limit)) return "";
  std::string out = buffer_.substr(0, limit);
  buffer_.erase(0, out.size());
  return out;
}

std::string BridgeConnection::readAll() {
  std::string all;
  for (std::string piece = readSome(); !piece.empty(); piece = readSome()) all += piece;
  return all;
}

void BridgeConnection::close() {
  ::shutdown(fd_, SHUT_RDWR);  // the descriptor stays ours until the object dies: never reused
  closed_ = true;
}

void BridgeConnection::reset() {
  const linger now{1, 0};  // a close with no lingering sends a reset
  setsockopt(fd_, SOL_SOCKET, SO_LINGER, &now, sizeof now);
  // dup2 closes the socket and keeps the number ours, as close() does.
  const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ::dup2(null, fd_);
  ::close(null);
  closed_ = true;
}

void BridgeConnection::shutdownWrite() { ::shutdown(fd_, SHUT_WR); }

FakeBridge::FakeBridge() {
  listenFd_ = boundSocket(SOCK_STREAM, "127.0.0.1", 0, port_);
  if (::listen(listenFd_, 1024) != 0) throw std::runtime_error("fake bridge: cannot listen");
  udpFd_ = boundSocket(SOCK_DGRAM, "127.0.0.1", 0, udpPort_);
  on("HELLO VERSION", "HELLO REPLY RESULT=OK VERSION=3.1\n");
  on("SESSION CREATE", "SESSION STATUS RESULT=OK DESTINATION=" + testKeyPriv() + "\n");
  acceptThread_ = std::thread([this] { acceptLoop(); });
}

FakeBridge::~FakeBridge() {
  ::shutdown(listenFd_, SHUT_RDWR);  // wakes the accept
  acceptThread_.join();
  ::close(listenFd_);
  ::close(udpFd_);
  std::vector<Worker> workers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    workers.swap(workers_);
    stopping_ = true;
    for (auto& gate : gates_) gate->open();
  }
  for (Worker& worker : workers) {
    worker.conn->close();
    worker.thread.join();
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
  const int fd =
      fromAddress.empty() ? udpFd_ : boundSocket(SOCK_DGRAM, fromAddress, fromPort, bound);
  const sockaddr_in to = addressOf("127.0.0.1", port);
  const ssize_t n = ::sendto(fd, bytes.data(), bytes.size(), 0,
                             reinterpret_cast<const sockaddr*>(&to), sizeof to);
  if (fd != udpFd_) ::close(fd);
  if (n != static_cast<ssize_t>(bytes.size())) throw std::runtime_error("fake bridge: UDP send");
}

void FakeBridge::on(const std::string& prefix, Handler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  rules_.emplace_back(prefix, std::move(handler));
}

void FakeBridge::on(const std::string& prefix, const std::string& reply) {
  on(prefix, [reply](BridgeConnection& conn, const std::string&) { conn.send(reply); });
}

std::shared_ptr<Gate> FakeBridge::makeGate() {
  std::lock_guard<std::mutex> lock(mutex_);
  gates_.push_back(std::make_shared<Gate>());
  if (stopping_) gates_.back()->open();  // a line read while the destructor runs: none waits
  return gates_.back();
}

void FakeBridge::pairStreams() {
  // A side waiting for its other side; the one that comes second pairs them.
  struct Side {
    BridgeConnection* conn;
    bool silent;
    std::shared_ptr<Gate> paired;   // also opened by the destructor, without a peer
    std::shared_ptr<Gate> relayed;  // this side's relay has ended
    BridgeConnection* peer = nullptr;
    bool peerSilent = false;
    std::shared_ptr<Gate> peerRelayed;
  };
  struct Waiting {
    std::mutex mutex;
    std::vector<std::shared_ptr<Side>> accepts, connects;
  };
  auto waiting = std::make_shared<Waiting>();
  // Pairs `self` with the oldest side waiting in `others`, or waits in `mine`; returns the peer.
  const auto pair = [waiting](std::vector<std::shared_ptr<Side>> Waiting::*mine,
                              std::vector<std::shared_ptr<Side>> Waiting::*others,
                              std::shared_ptr<Side> self) {
    {
      std::lock_guard<std::mutex> lock(waiting->mutex);
      auto& queue = (*waiting).*others;
      if (queue.empty()) {
        ((*waiting).*mine).push_back(self);
      } else {
        std::shared_ptr<Side> other = queue.front();
        queue.erase(queue.begin());
        other->peer = self->conn;
        other->peerSilent = self->silent;
        other->peerRelayed = self->relayed;
        self->peer = other->conn;
        self->peerSilent = other->silent;
        self->peerRelayed = other->relayed;
        other->paired->open();
        return self;
      }
    }
    self->paired->wait();
    return self;
  };
  // Each side's thread reads its own connection and sends what came on to the other's; neither
  // returns before the other has ended too, since the other's connection must outlive the sends.
  const auto relay = [](Side& self) {
    for (std::string bytes = self.conn->readSome(); !bytes.empty(); bytes = self.conn->readSome()) {
      if (!self.peer->send(bytes)) break;
    }
    self.peer->shutdownWrite();
    self.relayed->open();
    self.peerRelayed->wait();
  };
  on("STREAM ACCEPT", [this, pair, relay](BridgeConnection& conn, const std::string& line) {
    auto self = std::make_shared<Side>(Side{&conn, line.find("SILENT=true") != std::string::npos,
                                            makeGate(), makeGate(), nullptr, false, nullptr});
    if (!self->silent) conn.send("STREAM STATUS RESULT=OK\n");
    pair(&Waiting::accepts, &Waiting::connects, self);
    if (self->peer != nullptr) relay(*self);
  });
  on("STREAM CONNECT", [this, pair, relay](BridgeConnection& conn, const std::string&) {
    conn.send("STREAM STATUS RESULT=OK\n");
    auto self =
        std::make_shared<Side>(Side{&conn, false, makeGate(), makeGate(), nullptr, false, nullptr});
    pair(&Waiting::connects, &Waiting::accepts, self);
    if (self->peer == nullptr) return;
    // The connect's thread alone sends on the accepting side from now on: first the line that
    // names who connected, unless the accept was silent.
    if (!self->peerSilent) self->peer->send(testKeyPub() + "\n");
    relay(*self);
  });
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

void FakeBridge::waitUntilClosed(int id) const {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait(lock, [&] { return id < static_cast<int>(closed_.size()) && closed_[id]; });
}

void FakeBridge::closeConnection(int id) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Worker& worker : workers_) {
      if (worker.conn->id() == id) worker.conn->close();
    }
  }
  if (id < connectionCount()) waitUntilClosed(id);
}

void FakeBridge::acceptLoop() {
  for (;;) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    if (fd < 0 && (errno == EINTR || errno == ECONNABORTED)) continue;
    if (fd < 0) return;  // shut down by the destructor
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::lock_guard<std::mutex> lock(mutex_);
    // Joins the threads of ended connections, so that thousands of them do not pile up.
    for (auto it = workers_.begin(); it != workers_.end();) {
      if (closed_[it->conn->id()]) it->thread.join();
      it = it->thread.joinable() ? it + 1 : workers_.erase(it);
    }
    auto conn = std::make_shared<BridgeConnection>(fd, static_cast<int>(closed_.size()),
                                                   ntohs(peer.sin_port));
    closed_.push_back(false);
    workers_.push_back({std::thread([this, conn] {
                          serve(*conn);
                          std::lock_guard<std::mutex> lock(mutex_);
                          closed_[conn->id()] = true;
                          cv_.notify_all();
                        }),
                        conn});
  }
}

void FakeBridge::serve(BridgeConnection& conn) {
  while (!conn.isClosed()) {
    const std::string line = conn.readLine();
    if (line.empty()) return;
    Handler handler;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(line);
      for (auto rule = rules_.rbegin(); rule != rules_.rend() && !handler; ++rule) {
        if (line.compare(0, rule->first.size(), rule->first) == 0) handler = rule->second;
      }
    }
    if (!handler) return conn.close();
    handler(conn, line);
  }
}

}  // namespace velqor_test
