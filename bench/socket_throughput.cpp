// Throughput of SAM::I2pSocket against a raw TCP socket on loopback, without time limits and
// with them, and the cost of one session request in TCP connects and round trips.
//
// Usage: bench_socket_throughput [MiB per run, default 64] [pairs of runs, default 15]
//
// Both sides of every connection live in this process: the tests' fake bridge answers the HELLO
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
#include <future>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "fake_bridge.hpp"

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

void sendAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) die("send");
    data += n;
    size -= static_cast<std::size_t>(n);
  }
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
  velqor_test::FakeBridge bridge;
  bridge.on("HELLO VERSION", [total](velqor_test::BridgeConnection& conn, const std::string&) {
    conn.send(kHelloReply);
    const std::string chunk(kServerChunk, 'r');
    for (std::size_t sent = 0; sent < total; sent += chunk.size()) {
      conn.send(chunk.substr(0, std::min(chunk.size(), total - sent)));
    }
    conn.close();
  });
  std::size_t received = 0;
  double seconds = 0;
  if (useI2pSocket) {
    SAM::I2pSocket socket("127.0.0.1", bridge.port(), gLimits);
    if (!socket.isOk()) die("I2pSocket");
    const auto start = Clock::now();
    for (std::string piece = socket.read(); !piece.empty(); piece = socket.read()) {
      received += piece.size();
    }
    seconds = secondsSince(start);
  } else {
    const int fd = connectRaw(bridge.port());
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
  if (received != total) die("short read");
  return static_cast<double>(total) / seconds / 1e6;
}

// The client writes `total` bytes in 4096-byte pieces; the server takes them. Returns MB/s,
// timed until the server has received the last byte.
double writeRate(bool useI2pSocket, std::size_t total) {
  velqor_test::FakeBridge bridge;
  std::promise<std::pair<std::size_t, Clock::time_point>> taken;  // bytes, and when they were
  bridge.on("HELLO VERSION", [&taken](velqor_test::BridgeConnection& conn, const std::string&) {
    conn.send(kHelloReply);
    std::size_t count = 0;
    for (std::string got = conn.readSome(kServerChunk); !got.empty();
         got = conn.readSome(kServerChunk)) {
      count += got.size();
    }
    taken.set_value({count, Clock::now()});
    conn.close();
  });
  const std::string piece(kReceiveSize, 'w');
  Clock::time_point start;
  if (useI2pSocket) {
    SAM::I2pSocket socket("127.0.0.1", bridge.port(), gLimits);
    if (!socket.isOk()) die("I2pSocket");
    start = Clock::now();
    for (std::size_t sent = 0; sent < total; sent += piece.size()) socket.write(piece);
    if (!socket.isOk()) die("I2pSocket write");
  } else {
    const int fd = connectRaw(bridge.port());
    sayHello(fd);
    start = Clock::now();
    for (std::size_t sent = 0; sent < total; sent += piece.size()) {
      sendAll(fd, piece.data(), piece.size());
    }
    ::close(fd);
  }
  const auto [received, finished] = taken.get_future().get();
  if (received != total) die("short write");
  return static_cast<double>(total) / std::chrono::duration<double>(finished - start).count() / 1e6;
}

// Prints connects and round trips per request and requests per second for `request`.
template <class Request>
void measureRequests(const char* name, velqor_test::FakeBridge& bridge, SAM::StreamSession& session,
                     int count, Request request) {
  const long connectsBefore = bridge.connectionCount();
  const long linesBefore = static_cast<long>(bridge.lines().size());
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    if (!request(session)) die(name);
  }
  const double seconds = secondsSince(start);
  std::printf("%-13s %5.2f connects, %5.2f round trips per request, %8.0f requests/s\n", name,
              static_cast<double>(bridge.connectionCount() - connectsBefore) / count,
              static_cast<double>(static_cast<long>(bridge.lines().size()) - linesBefore) / count,
              count / seconds);
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

  velqor_test::FakeBridge bridge;
  bridge.on("NAMING LOOKUP",
            "NAMING REPLY RESULT=OK NAME=site.i2p VALUE=" + velqor_test::testKeyPub() + "\n");
  bridge.on("STREAM CONNECT", "STREAM STATUS RESULT=OK\n");
  SAM::StreamSession session("bench", "127.0.0.1", bridge.port());
  if (session.isSick()) die("session");
  std::printf("session creation: %d connects, %zu round trips\n", bridge.connectionCount(),
              bridge.lines().size());
  const int count = 2000;
  measureRequests("namingLookup", bridge, session, count,
                  [](SAM::StreamSession& s) { return s.namingLookup("site.i2p").isOk; });
  measureRequests("connect", bridge, session, count,
                  [](SAM::StreamSession& s) { return s.connect("site.i2p", true).isOk; });
  return 0;
}
