// Throughput of SAM::I2pSocket against a raw TCP socket on loopback, without time limits and
// with them, and the cost of one session request in TCP connects and round trips.
//
// Usage: bench_socket_throughput [MiB per run, default 64] [pairs of runs, default 15]
//
// Both sides of every connection live in this process: a server thread answers the HELLO
// line and then streams bytes to the client or takes them from it. The raw baseline runs the
// same loops with recv/send and the same 4096-byte receive size.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <velqor/sam.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReceiveSize = 4096;
constexpr std::size_t kServerChunk = 64 * 1024;
const std::string kHelloReply = "HELLO REPLY RESULT=OK VERSION=3.1\n";

// The limits of the I2pSocket in the measured loops: none, or one for every phase. With a
// limit the socket waits in poll() instead of blocking in the receive or the send.
SAM::TimeLimits gLimits;

[[noreturn]] void die(const char* what) {
  std::perror(what);
  std::exit(1);
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A listening socket on 127.0.0.1 with a port chosen by the kernel.
struct Listener {
  Listener() {
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) die("socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 64) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      die("bind/listen");
    }
    port = ntohs(addr.sin_port);
  }
  ~Listener() { ::close(fd); }
  int acceptOne() const {
    const int conn = ::accept(fd, nullptr, nullptr);
    if (conn < 0) die("accept");
    return conn;
  }

  int fd = -1;
  uint16_t port = 0;
};

void sendAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) die("send");
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

// Reads the client's HELLO line byte by byte (nothing else is in flight yet) and answers it.
void answerHello(int fd) {
  char c = 0;
  do {
    if (::recv(fd, &c, 1, 0) != 1) die("recv hello");
  } while (c != '\n');
  sendAll(fd, kHelloReply.data(), kHelloReply.size());
}

// The raw client makes the same HELLO exchange as I2pSocket, so that both connections have
// the same history when the measured loop starts.
void sayHello(int fd) {
  const std::string hello = "HELLO VERSION MIN=3.0 MAX=3.1\n";
  sendAll(fd, hello.data(), hello.size());
  std::string reply;
  char c = 0;
  do {
    if (::recv(fd, &c, 1, 0) != 1) die("recv hello reply");
    reply += c;
  } while (c != '\n');
  if (reply != kHelloReply) die("hello reply");
}

int connectRaw(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    die("connect");
  }
  return fd;
}

// Server streams `total` bytes; the client reads them. Returns MB/s.
double readRate(bool useI2pSocket, std::size_t total) {
  Listener listener;
  std::thread server([&] {
    const int fd = listener.acceptOne();
    answerHello(fd);
    const std::string chunk(kServerChunk, 'r');
    for (std::size_t sent = 0; sent < total; sent += chunk.size()) {
      sendAll(fd, chunk.data(), std::min(chunk.size(), total - sent));
    }
    ::close(fd);
  });

  std::size_t received = 0;
  double seconds = 0;
  if (useI2pSocket) {
    SAM::I2pSocket socket("127.0.0.1", listener.port, gLimits);
    if (!socket.isOk()) die("I2pSocket");
    const auto start = Clock::now();
    for (std::string piece = socket.read(); !piece.empty(); piece = socket.read()) {
      received += piece.size();
    }
    seconds = secondsSince(start);
  } else {
    const int fd = connectRaw(listener.port);
    sayHello(fd);
    char buffer[kReceiveSize];
    const auto start = Clock::now();
    for (;;) {
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      received += static_cast<std::size_t>(n);
    }
    seconds = secondsSince(start);
    ::close(fd);
  }
  server.join();
  if (received != total) die("short read");
  return static_cast<double>(total) / seconds / 1e6;
}

// The client writes `total` bytes in 4096-byte pieces; the server takes them. Returns MB/s,
// timed until the server has received the last byte.
double writeRate(bool useI2pSocket, std::size_t total) {
  Listener listener;
  std::atomic<std::size_t> received{0};
  Clock::time_point finished;
  std::thread server([&] {
    const int fd = listener.acceptOne();
    answerHello(fd);
    std::vector<char> buffer(kServerChunk);
    std::size_t count = 0;
    for (;;) {
      const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
      if (n <= 0) break;
      count += static_cast<std::size_t>(n);
    }
    finished = Clock::now();
    received = count;
    ::close(fd);
  });

  const std::string piece(kReceiveSize, 'w');
  Clock::time_point start;
  if (useI2pSocket) {
    SAM::I2pSocket socket("127.0.0.1", listener.port, gLimits);
    if (!socket.isOk()) die("I2pSocket");
    start = Clock::now();
    for (std::size_t sent = 0; sent < total; sent += piece.size()) socket.write(piece);
    if (!socket.isOk()) die("I2pSocket write");
  } else {
    const int fd = connectRaw(listener.port);
    sayHello(fd);
    start = Clock::now();
    for (std::size_t sent = 0; sent < total; sent += piece.size()) {
      sendAll(fd, piece.data(), piece.size());
    }
    ::close(fd);
  }
  server.join();
  if (received != total) die("short write");
  return static_cast<double>(total) / std::chrono::duration<double>(finished - start).count() / 1e6;
}

// A bridge that answers every line at once and counts connections and answered lines.
class CountingBridge {
 public:
  CountingBridge() {
    if (::pipe(wake_) != 0) die("pipe");
    thread_ = std::thread([this] { run(); });
  }
  ~CountingBridge() {
    const char stop = 's';
    if (::write(wake_[1], &stop, 1) != 1) die("write");
    thread_.join();
    ::close(wake_[0]);
    ::close(wake_[1]);
  }
  uint16_t port() const { return listener_.port; }
  long connections() const { return connections_; }
  long lines() const { return lines_; }

 private:
  struct Connection {
    int fd;
    std::string buffer;
  };

  static std::string answer(const std::string& line) {
    static const std::string destination(908, 'A');
    if (line.rfind("HELLO VERSION", 0) == 0) return kHelloReply;
    if (line.rfind("SESSION CREATE", 0) == 0) {
      return "SESSION STATUS RESULT=OK DESTINATION=" + destination + "\n";
    }
    if (line.rfind("NAMING LOOKUP", 0) == 0) {
      return "NAMING REPLY RESULT=OK NAME=site.i2p VALUE=" + destination.substr(0, 516) + "\n";
    }
    if (line.rfind("STREAM CONNECT", 0) == 0) return "STREAM STATUS RESULT=OK\n";
    return "";
  }

  // Returns false when the connection is to be closed.
  bool serve(Connection& conn) {
    char chunk[kReceiveSize];
    const ssize_t n = ::recv(conn.fd, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    conn.buffer.append(chunk, static_cast<std::size_t>(n));
    for (std::size_t nl = conn.buffer.find('\n'); nl != std::string::npos;
         nl = conn.buffer.find('\n')) {
      const std::string reply = answer(conn.buffer.substr(0, nl + 1));
      conn.buffer.erase(0, nl + 1);
      if (reply.empty()) return false;
      ++lines_;
      sendAll(conn.fd, reply.data(), reply.size());
    }
    return true;
  }

  void run() {
    std::vector<Connection> conns;
    for (;;) {
      std::vector<pollfd> fds = {{wake_[0], POLLIN, 0}, {listener_.fd, POLLIN, 0}};
      for (const auto& conn : conns) fds.push_back({conn.fd, POLLIN, 0});
      if (::poll(fds.data(), fds.size(), -1) < 0) die("poll");
      if (fds[0].revents != 0) break;
      std::vector<Connection> still;
      for (std::size_t i = 0; i < conns.size(); ++i) {
        if (fds[i + 2].revents == 0 || serve(conns[i])) {
          still.push_back(std::move(conns[i]));
        } else {
          ::close(conns[i].fd);
        }
      }
      conns.swap(still);
      if (fds[1].revents != 0) {
        conns.push_back({listener_.acceptOne(), ""});
        ++connections_;
      }
    }
    for (const auto& conn : conns) ::close(conn.fd);
  }

  Listener listener_;
  int wake_[2] = {-1, -1};
  std::atomic<long> connections_{0};
  std::atomic<long> lines_{0};
  std::thread thread_;
};

// Prints connects and round trips per request and requests per second for `request`.
template <class Request>
void measureRequests(const char* name, CountingBridge& bridge, SAM::StreamSession& session,
                     int count, Request request) {
  const long connectsBefore = bridge.connections();
  const long linesBefore = bridge.lines();
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    if (!request(session)) die(name);
  }
  const double seconds = secondsSince(start);
  std::printf("%-13s %5.2f connects, %5.2f round trips per request, %8.0f requests/s\n", name,
              static_cast<double>(bridge.connections() - connectsBefore) / count,
              static_cast<double>(bridge.lines() - linesBefore) / count, count / seconds);
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t mid = values.size() / 2;
  return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

// Runs `pairs` pairs of the raw loop and the I2pSocket loop, in alternating order so that a
// change of load on a shared machine hits both alike, and prints the medians.
void compare(const char* name, double (*rate)(bool, std::size_t), std::size_t total, int pairs) {
  std::vector<double> raw, lib, ratio;
  for (int pair = 0; pair < pairs; ++pair) {
    const bool libFirst = pair % 2 == 1;
    const double first = rate(libFirst, total);
    const double second = rate(!libFirst, total);
    raw.push_back(libFirst ? second : first);
    lib.push_back(libFirst ? first : second);
    ratio.push_back(lib.back() / raw.back());
  }
  std::printf("%-6s raw %8.1f MB/s   I2pSocket %8.1f MB/s   ratio %.3f (min %.3f, max %.3f)\n",
              name, median(raw), median(lib), median(ratio),
              *std::min_element(ratio.begin(), ratio.end()),
              *std::max_element(ratio.begin(), ratio.end()));
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t mebibytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
  const int pairs = argc > 2 ? std::atoi(argv[2]) : 15;
  const std::size_t total = mebibytes << 20;
  if (total == 0 || pairs <= 0) {
    std::fprintf(stderr, "usage: %s [MiB per run] [pairs of runs]\n", argv[0]);
    return 2;
  }

  std::printf(
      "loopback, %zu MiB per run, medians of %d paired runs, 4096-byte receives and "
      "writes\n",
      mebibytes, pairs);
  compare("read:", readRate, total, pairs);
  compare("write:", writeRate, total, pairs);
  const std::chrono::milliseconds limit(10000);
  gLimits = {limit, limit, limit, limit};
  std::printf("the same with a limit of %lld ms for every phase:\n",
              static_cast<long long>(limit.count()));
  compare("read:", readRate, total, pairs);
  compare("write:", writeRate, total, pairs);

  CountingBridge bridge;
  SAM::StreamSession session("bench", "127.0.0.1", bridge.port());
  if (session.isSick()) die("session");
  std::printf("session creation: %ld connects, %ld round trips\n", bridge.connections(),
              bridge.lines());
  const int count = 2000;
  measureRequests("namingLookup", bridge, session, count,
                  [](SAM::StreamSession& s) { return s.namingLookup("site.i2p").isOk; });
  measureRequests("connect", bridge, session, count,
                  [](SAM::StreamSession& s) { return s.connect("site.i2p", true).isOk; });
  return 0;
}
