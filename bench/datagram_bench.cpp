// Datagrams between two sessions on a private i2pd router, in both styles, next to the same
// loops over two plain UDP sockets on loopback (the floor: what the system alone costs).
//
// Usage: bench_datagram [round trips, default 2000] [one-way datagrams, default 20000]
//                       [payload bytes, default 1024]
//
// Round trip: A sends, B's echo thread sends the payload back (to the sender the bridge names in
// DATAGRAM style, to A's destination in RAW style), A receives; median and 99th percentile.
// One way: A sends while B counts what arrives, until all have come or none for a second;
// datagrams per second over that time, and how many were lost on the way. Once with at most 32
// datagrams on the way at a time, and once as fast as A can send (most are then dropped where
// a receive buffer overflows, at the bridge or at B).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <velqor/sam.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "i2pd_harness.hpp"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::seconds kQuiet(1);  // a receive gives up after this long: a loss
const std::string kStop = "stop";

// One side of a pair: sends to the other side, receives one datagram ("" and false when none
// came within kQuiet), and answers the datagram it last received.
struct Side {
  std::function<void(const std::string&)> send;
  std::function<bool(std::string&)> receive;
  std::function<void(const std::string&)> answer;
};

Side sideOf(SAM::DatagramSession& self, const SAM::DatagramSession& peer) {
  auto lastSender = std::make_shared<std::string>();
  return {[&self, &peer](const std::string& payload) {
            self.send(peer.getMyDestination().pub, payload);
          },
          [&self, lastSender](std::string& payload) {
            auto got = self.receive();
            payload.swap(got.value.payload);
            lastSender->swap(got.value.sender);
            return got.isOk;
          },
          [&self, &peer, lastSender](const std::string& payload) {
            self.send(lastSender->empty() ? peer.getMyDestination().pub : *lastSender, payload);
          }};
}

// A plain UDP socket on 127.0.0.1 with a receive limit of kQuiet.
struct UdpSocket {
  UdpSocket() {
    fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    timeval quiet{kQuiet.count(), 0};
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &quiet, sizeof quiet) != 0) {
      std::perror("UDP socket");
      std::exit(1);
    }
  }
  ~UdpSocket() { ::close(fd); }
  int fd = -1;
  sockaddr_in address{};
};

Side sideOf(const UdpSocket& self, const UdpSocket& peer) {
  auto send = [&self, &peer](const std::string& payload) {
    ::sendto(self.fd, payload.data(), payload.size(), 0,
             reinterpret_cast<const sockaddr*>(&peer.address), sizeof peer.address);
  };
  return {send,
          [&self](std::string& payload) {
            payload.resize(65536);
            const ssize_t n = ::recv(self.fd, &payload[0], payload.size(), 0);
            payload.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
            return n >= 0;
          },
          send};
}

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// B echoes until it receives kStop or nothing comes for kQuiet.
std::thread echo(const Side& b) {
  return std::thread([b] {
    std::string payload;
    while (b.receive(payload) && payload != kStop) b.answer(payload);
  });
}

void roundTrips(const char* name, const Side& a, const Side& b, int count,
                const std::string& payload) {
  std::thread echoing = echo(b);
  std::vector<double> times;
  std::string got;
  for (int i = 0; i < count; ++i) {
    const auto start = Clock::now();
    a.send(payload);
    if (a.receive(got)) times.push_back(ms(Clock::now() - start));
  }
  a.send(kStop);
  echoing.join();
  std::sort(times.begin(), times.end());
  const auto at = [&](double q) { return times.empty() ? 0 : times[q * (times.size() - 1)]; };
  std::printf("%-26s round trip  median %8.3f ms  p99 %8.3f ms  (%zu of %d answered)\n", name,
              at(0.5), at(0.99), times.size(), count);
}

// A sends `count` datagrams while B counts them. With a window, A waits while that many are on
// the way (B's count is shared in this process), or until nothing has arrived for 100 ms.
void oneWay(const char* name, const Side& a, const Side& b, int count, const std::string& payload,
            int window) {
  std::atomic<int> received{0};
  auto counting = std::async(std::launch::async, [&] {
    std::string got;
    Clock::time_point last = Clock::now();
    while (received < count && b.receive(got)) {
      ++received;
      last = Clock::now();
    }
    return last;
  });
  const auto start = Clock::now();
  for (int sent = 0; sent < count; ++sent) {
    for (auto progress = std::make_pair(received.load(), Clock::now());
         window > 0 && sent - received >= window &&
         Clock::now() - progress.second < std::chrono::milliseconds(100);
         std::this_thread::yield()) {
      if (received != progress.first) progress = {received.load(), Clock::now()};
    }
    a.send(payload);
  }
  const double seconds = std::chrono::duration<double>(counting.get() - start).count();
  std::printf("%-26s one way, %-9s %8.0f datagrams/s %6.1f MB/s  (%d of %d arrived)\n", name,
              window > 0 ? ("window " + std::to_string(window)).c_str() : "no window",
              received / seconds, received * payload.size() / seconds / 1e6, received.load(),
              count);
}

}  // namespace

int main(int argc, char** argv) {
  const int trips = argc > 1 ? std::atoi(argv[1]) : 2000;
  const int flood = argc > 2 ? std::atoi(argv[2]) : 20000;
  const std::string payload(argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 1024, 'd');

  std::unique_ptr<velqor_interop::I2pdRouter> router;
  try {
    router = std::make_unique<velqor_interop::I2pdRouter>();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_datagram: %s\n", e.what());
    return 1;
  }
  std::fprintf(stderr, "creating four sessions on i2pd (about 20 s)...\n");
  SAM::TimeLimits limits;
  limits.read = kQuiet;
  auto open = [&](SAM::Message::SessionStyle style) {
    return std::async(std::launch::async, [&, style] {
      return std::make_unique<SAM::DatagramSession>("bench", velqor_interop::kRouterHost,
                                                    router->samPort(), style, "TRANSIENT",
                                                    velqor_interop::kServerSessionOptions, limits);
    });
  };
  auto d0 = open(SAM::Message::DATAGRAM), d1 = open(SAM::Message::DATAGRAM);
  auto r0 = open(SAM::Message::RAW), r1 = open(SAM::Message::RAW);
  const auto da = d0.get(), db = d1.get(), ra = r0.get(), rb = r1.get();
  for (const auto* s : {da.get(), db.get(), ra.get(), rb.get()}) {
    if (s->isSick()) {
      std::fprintf(stderr, "bench_datagram: %s\n", s->getLastError().reason.c_str());
      return 1;
    }
  }
  const UdpSocket ua, ub;

  std::printf("%d round trips and %d datagrams one way, %zu-byte payloads\n", trips, flood,
              payload.size());
  const struct {
    const char* name;
    Side a, b;
  } pairs[] = {
      {"loopback UDP (floor)", sideOf(ua, ub), sideOf(ub, ua)},
      {"i2pd DATAGRAM sessions", sideOf(*da, *db), sideOf(*db, *da)},
      {"i2pd RAW sessions", sideOf(*ra, *rb), sideOf(*rb, *ra)},
  };
  for (const auto& pair : pairs) roundTrips(pair.name, pair.a, pair.b, trips, payload);
  for (const int window : {32, 0}) {
    for (const auto& pair : pairs) oneWay(pair.name, pair.a, pair.b, flood, payload, window);
  }
  return 0;
}
