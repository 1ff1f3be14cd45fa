// N concurrent streams through one session pair, each echoing its bytes, three ways side by side:
// the blocking API with a thread per stream, operations driven from one thread by epoll, and the
// asio adapter (<velqor/asio.hpp>) in one io_context on one thread.
// On the tests' fake bridge (which joins the two sessions' streams) with N = 50, 200, 1000 and
// 64 KiB each, and on a private i2pd router with N = 200 x 64 KiB and N = 1000 x 1 KiB (that
// router stalls for tens of seconds when far more data is in flight).
//
// Usage: bench_load [--fake-only | --i2pd-only]
//
// Each row runs in a process of its own (this binary again, with --row), so that its figures are
// its own: wall time from the first request to the last byte echoed, the aggregate rate of the
// echoed bytes, the peak resident set, and the threads and descriptors of the process while all
// streams are open. The bridge (fake or i2pd) runs outside that process.
#include <sys/epoll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <velqor/asio.hpp>
#include <velqor/sam.hpp>

#include <algorithm>
#include <asio/io_context.hpp>
#include <asio/write.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fake_bridge.hpp"
#include "i2pd_router.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using SAM::Operation;

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "bench_load: %s\n", what.c_str());
  std::exit(1);
}

// A field of /proc/self/status ("VmHWM", "Threads"), as its number.
long statusField(const char* name) {
  std::ifstream status("/proc/self/status");
  for (std::string key; status >> key;) {
    long value = 0;
    if (key == std::string(name) + ":" && status >> value) return value;
    status.ignore(1 << 20, '\n');
  }
  return -1;
}

int openDescriptors() { return velqor_test::openDescriptors(); }

// The bytes of stream `stream` from `offset` on, made and checked a piece at a time, so that a
// stream costs no buffer of its whole size.
constexpr std::size_t kPiece = 16 * 1024;
char byteOf(int stream, std::size_t offset) {
  return static_cast<char>((static_cast<std::size_t>(stream) * 131 + offset) % 251);
}
void fill(char* piece, int stream, std::size_t offset, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) piece[i] = byteOf(stream, offset + i);
}
bool matches(const char* piece, int stream, std::size_t offset, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    if (piece[i] != byteOf(stream, offset + i)) return false;
  }
  return true;
}

struct Figures {
  double seconds = 0;
  int threads = 0, descriptors = 0;  // the most seen, each time a stream came about
  int wrong = 0;                     // streams whose bytes did not come back whole

  void sample() {
    threads = std::max(threads, static_cast<int>(statusField("Threads")));
    descriptors = std::max(descriptors, openDescriptors());
  }
};

// The session pair of a row: the server accepts and echoes, the client connects.
struct Pair {
  std::unique_ptr<SAM::StreamSession> server, client;
};

Pair makePair(uint16_t port, bool onI2pd) {
  const std::string serverOptions = onI2pd ? velqor_sandbox::kServerSessionOptions : "";
  const std::string clientOptions = onI2pd ? velqor_sandbox::kZeroHopOptions : "";
  SAM::TimeLimits limits;
  limits.reply = std::chrono::seconds(120);
  auto server = std::async(std::launch::async, [&] {
    return std::make_unique<SAM::StreamSession>("load", "127.0.0.1", port, "TRANSIENT",
                                                serverOptions, limits);
  });
  auto client = std::make_unique<SAM::StreamSession>("load", "127.0.0.1", port, "TRANSIENT",
                                                     clientOptions, limits);
  Pair pair{server.get(), std::move(client)};
  if (pair.server->isSick()) die("server session: " + pair.server->getLastError().reason);
  if (pair.client->isSick()) die("client session: " + pair.client->getLastError().reason);
  return pair;
}

// The blocking API: an accepting thread and a thread per accepted stream echo; a thread per
// client stream connects, writes its bytes and reads them back.
Figures runThreads(Pair& pair, int count, std::size_t size) {
  Figures figures;
  std::atomic<int> wrong{0};
  std::mutex sampling;
  std::atomic<int> opened_{0};
  const auto opened = [&] {
    if (++opened_ % std::max(1, count / 5) != 0) return;
    std::lock_guard<std::mutex> lock(sampling);
    figures.sample();
  };
  const auto start = Clock::now();
  std::vector<std::thread> echoes;
  std::thread acceptor([&] {
    for (int i = 0; i < count; ++i) {
      auto accepted = pair.server->accept(false);
      if (!accepted.isOk) die("accept: " + pair.server->getLastError().reason);
      echoes.emplace_back([&, stream = std::move(accepted.value)] {
        stream->readLine();  // the peer's destination
        opened();
        for (std::string bytes = stream->read(); !bytes.empty(); bytes = stream->read()) {
          stream->write(bytes);
        }
      });
    }
  });
  std::vector<std::thread> clients;
  for (int i = 0; i < count; ++i) {
    clients.emplace_back([&, i] {
      auto connected = pair.client->connect(pair.server->getMyDestination().pub, false);
      if (!connected.isOk) die("connect: " + pair.client->getLastError().reason);
      opened();
      char piece[kPiece];
      for (std::size_t offset = 0; offset < size; offset += kPiece) {
        const std::size_t length = std::min(kPiece, size - offset);
        fill(piece, i, offset, length);
        connected.value->write(std::string(piece, length));
      }
      std::size_t back = 0;
      bool same = true;
      while (back < size) {
        const std::string bytes = connected.value->read();
        if (bytes.empty()) break;
        same = same && matches(bytes.data(), i, back, bytes.size());
        back += bytes.size();
      }
      if (back != size || !same) ++wrong;
    });
  }
  for (std::thread& client : clients) client.join();
  figures.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  acceptor.join();
  for (std::thread& echo : echoes) echo.join();
  figures.wrong = wrong;
  return figures;
}

// One stream in the single thread's loop: a client's count of bytes sent and come back, or an
// echoing server stream's bytes not sent back yet.
struct Stream {
  int number = 0;  // a client's, for its bytes
  bool echo = false;
  std::size_t sent = 0, received = 0;
  bool same = true;
  std::string unsent;  // an echo's bytes that the connection did not take yet
};

// What one descriptor of the loop is: an operation under way, or the stream it became.
struct Slot {
  std::unique_ptr<Operation> op;
  Stream stream;
  uint32_t events = 0;  // what epoll watches for it
};

uint32_t epollEventsOf(const Operation& op) {
  return ((op.events() & Operation::WAIT_READ) != 0 ? EPOLLIN : 0u) |
         ((op.events() & Operation::WAIT_WRITE) != 0 ? EPOLLOUT : 0u);
}

// Operations: every accept and connect started at once, then every operation and every stream
// it becomes moved on by one epoll loop in this thread, on the descriptors the operations hand
// over (epoll rather than poll(): a wake-up then costs what is ready, not what is open).
Figures runOneThread(Pair& pair, int count, std::size_t size) {
  Figures figures;
  const auto start = Clock::now();
  const int ep = ::epoll_create1(EPOLL_CLOEXEC);
  std::vector<Slot> slots;  // by descriptor
  const auto watch = [&](int fd, Slot& slot, uint32_t events, int how) {
    epoll_event event{events, {}};
    event.data.fd = fd;
    if (::epoll_ctl(ep, how, fd, &event) != 0) die("epoll_ctl");
    slot.events = events;
  };
  for (int i = 0; i < 2 * count; ++i) {
    std::unique_ptr<Operation> op =
        i < count
            ? Operation::startAccept(*pair.server, false)
            : Operation::startConnect(*pair.client, pair.server->getMyDestination().pub, false);
    const int fd = op->descriptor();
    if (fd < 0) die("operation: " + op->error().reason);
    if (slots.size() <= static_cast<std::size_t>(fd)) slots.resize(fd + 1);
    slots[fd].op = std::move(op);
    watch(fd, slots[fd], epollEventsOf(*slots[fd].op), EPOLL_CTL_ADD);
  }
  int clientsDone = 0, number = 0;
  char buffer[kPiece];
  epoll_event ready[256];
  while (clientsDone < count) {
    const int n = ::epoll_wait(ep, ready, 256, -1);
    if (n < 0 && errno != EINTR) die("epoll_wait");
    for (int k = 0; k < n; ++k) {
      const int fd = ready[k].data.fd;
      Slot& slot = slots[fd];
      if (slot.op) {
        const Operation::Progress progress = slot.op->step();
        if (progress == Operation::Progress::FAILED) die("operation: " + slot.op->error().reason);
        if (progress == Operation::Progress::PENDING) {
          if (epollEventsOf(*slot.op) != slot.events) {
            watch(fd, slot, epollEventsOf(*slot.op), EPOLL_CTL_MOD);
          }
          continue;
        }
        // The stream keeps the operation's descriptor: the same number, watched on.
        slot.stream = Stream();
        slot.stream.echo = slot.op->kind() == Operation::Kind::STREAM_ACCEPT;
        slot.stream.number = number++;
        std::string kept;
        slot.op->releaseDescriptor(kept);
        slot.op.reset();
        if (number % std::max(1, count / 5) == 0) figures.sample();
        watch(fd, slot, slot.stream.echo ? EPOLLIN : EPOLLIN | EPOLLOUT, EPOLL_CTL_MOD);
        continue;
      }
      Stream& s = slot.stream;
      bool ended = false;
      // As much as the connection takes or has now, so that one wake-up does all it can.
      if ((ready[k].events & EPOLLOUT) != 0) {
        if (s.echo) {
          const ssize_t sent = ::send(fd, s.unsent.data(), s.unsent.size(), MSG_NOSIGNAL);
          if (sent > 0) s.unsent.erase(0, static_cast<std::size_t>(sent));
        }
        while (!s.echo && s.sent < size) {
          const std::size_t length = std::min(kPiece, size - s.sent);
          fill(buffer, s.number, s.sent, length);
          const ssize_t sent = ::send(fd, buffer, length, MSG_NOSIGNAL);
          if (sent <= 0) break;
          s.sent += static_cast<std::size_t>(sent);
        }
      }
      while (s.unsent.empty() && !ended) {
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got > 0 && s.echo) {
          const ssize_t taken = ::send(fd, buffer, static_cast<std::size_t>(got), MSG_NOSIGNAL);
          s.unsent.assign(buffer + std::max<ssize_t>(taken, 0), buffer + got);
        } else if (got > 0) {
          s.same = s.same && matches(buffer, s.number, s.received, static_cast<std::size_t>(got));
          s.received += static_cast<std::size_t>(got);
        }
        ended = got == 0 || (got < 0 && errno != EAGAIN) || (!s.echo && s.received >= size);
        if (got <= 0) break;
      }
      if (ended) {
        if (!s.echo) {
          ++clientsDone;
          if (s.received != size || !s.same) ++figures.wrong;
        }
        ::close(fd);  // which takes it out of epoll too
        continue;
      }
      // An echo waits until its bytes are taken before it reads more.
      const uint32_t events = s.echo ? (s.unsent.empty() ? EPOLLIN : EPOLLOUT)
                                     : (s.sent < size ? EPOLLIN | EPOLLOUT : EPOLLIN);
      if (events != slot.events) watch(fd, slot, events, EPOLL_CTL_MOD);
    }
  }
  figures.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  ::close(ep);  // the echoes still open end with the process
  return figures;
}

// The asio adapter's stream of one client: it writes its bytes a piece at a time while it reads
// the echo back and checks it.
struct AsioClient : std::enable_shared_from_this<AsioClient> {
  AsioClient(asio::ip::tcp::socket socket, int number, std::size_t size,
             std::function<void(bool whole)> ended)
      : socket(std::move(socket)), number(number), size(size), ended(std::move(ended)) {}
  asio::ip::tcp::socket socket;
  int number;
  std::size_t size, sent = 0, received = 0;
  bool same = true;
  char out[kPiece], in[kPiece];
  std::function<void(bool whole)> ended;

  void writeMore() {
    if (sent == size) return;
    const std::size_t length = std::min(kPiece, size - sent);
    fill(out, number, sent, length);
    asio::async_write(socket, asio::buffer(out, length),
                      [self = shared_from_this()](std::error_code ec, std::size_t n) {
                        self->sent += n;
                        if (!ec) self->writeMore();
                      });
  }
  void readMore() {
    socket.async_read_some(
        asio::buffer(in), [self = shared_from_this()](std::error_code ec, std::size_t n) {
          self->same = self->same && matches(self->in, self->number, self->received, n);
          self->received += n;
          if (ec || self->received >= self->size) {
            return self->ended(self->received == self->size && self->same);
          }
          self->readMore();
        });
  }
};

// An accepted stream of the asio row, echoed until its peer's end.
void asioEcho(std::shared_ptr<asio::ip::tcp::socket> stream,
              std::shared_ptr<std::vector<char>> buffer) {
  stream->async_read_some(asio::buffer(*buffer), [=](std::error_code ec, std::size_t n) {
    if (ec) return;
    asio::async_write(*stream, asio::buffer(*buffer, n), [=](std::error_code ec, std::size_t) {
      if (!ec) asioEcho(stream, buffer);
    });
  });
}

// The asio adapter, as asio servers go: one accept at a time, the next one started by the
// handler of the last (i2pd 2.45.1 loses streams when accepts overlap), every client started at
// once on the fake bridge and at most 64 streams at once on i2pd (which closes a burst of
// incoming streams beyond 128), all in one io_context run by this thread.
Figures runAsio(Pair& pair, int count, std::size_t size, bool onI2pd) {
  namespace va = SAM::asio;
  Figures figures;
  asio::io_context io;
  va::stream_session server(io.get_executor(), std::move(pair.server));
  va::stream_session client(io.get_executor(), std::move(pair.client));
  const std::string destination = server.session().getMyDestination().pub;
  const auto start = Clock::now();
  int opened = 0, started = 0, ended = 0;
  const auto sample = [&] {
    if (++opened % std::max(1, count / 5) == 0) figures.sample();
  };
  int accepted = 0;
  std::function<void()> acceptNext = [&] {
    server.async_accept([&](std::error_code ec, asio::ip::tcp::socket stream, std::string) {
      if (ec) die("accept: " + server.session().getLastError().reason);
      // No accept is left waiting at the end: the fake bridge would pair it with the next row's.
      if (++accepted < count) acceptNext();
      sample();
      asioEcho(std::make_shared<asio::ip::tcp::socket>(std::move(stream)),
               std::make_shared<std::vector<char>>(kPiece));
    });
  };
  std::function<void()> connectNext = [&] {
    if (started == count) return;
    const int number = started++;
    client.async_connect(destination, [&, number](std::error_code ec,
                                                  asio::ip::tcp::socket stream) {
      if (ec) die("connect: " + client.session().getLastError().reason);
      sample();
      auto stream_ = std::make_shared<AsioClient>(std::move(stream), number, size, [&](bool whole) {
        if (!whole) ++figures.wrong;
        if (++ended < count) connectNext();
      });
      stream_->writeMore();
      stream_->readMore();
    });
  };
  acceptNext();
  for (int i = 0; i < (onI2pd ? std::min(count, 64) : count); ++i) connectNext();
  io.run();
  figures.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return figures;
}

// One row, in this process: prints its figures as one line for the parent.
int runRow(const std::string& way, int count, std::size_t size, uint16_t port, bool onI2pd) {
  Pair pair = makePair(port, onI2pd);
  const Figures f = way == "threads"      ? runThreads(pair, count, size)
                    : way == "one-thread" ? runOneThread(pair, count, size)
                                          : runAsio(pair, count, size, onI2pd);
  const double mebibytes = static_cast<double>(count) * static_cast<double>(size) / (1 << 20);
  std::printf("%-13s %6.2f s %8.2f MiB/s %8.1f MiB %7d %7d %s\n", way.c_str(), f.seconds,
              mebibytes / f.seconds, static_cast<double>(statusField("VmHWM")) / 1024, f.threads,
              f.descriptors,
              f.wrong == 0 ? "all byte-exact" : (std::to_string(f.wrong) + " WRONG").c_str());
  return f.wrong == 0 ? 0 : 1;
}

// Runs a row in a process of its own.
void row(const char* self, const std::string& way, int count, std::size_t size, uint16_t port,
         bool onI2pd) {
  std::fflush(stdout);
  const pid_t child = ::fork();
  if (child < 0) die("fork");
  if (child == 0) {
    const std::string n = std::to_string(count), s = std::to_string(size), p = std::to_string(port);
    ::execl(self, self, "--row", way.c_str(), n.c_str(), s.c_str(), p.c_str(),
            onI2pd ? "i2pd" : "fake", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::printf("  (the row failed)\n");
}

void table(const char* self, const char* where, uint16_t port, bool onI2pd,
           const std::vector<std::pair<int, std::size_t>>& rows) {
  std::printf("\n%s\n%-13s %8s %14s %12s %7s %7s\n", where, "way", "wall", "throughput", "peak RSS",
              "threads", "fds");
  for (const auto& [count, size] : rows) {
    std::printf("N = %d streams x %zu KiB, echoed:\n", count, size / 1024);
    row(self, "threads", count, size, port, onI2pd);
    row(self, "one-thread", count, size, port, onI2pd);
    row(self, "asio", count, size, port, onI2pd);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 7 && std::string(argv[1]) == "--row") {
    return runRow(argv[2], std::atoi(argv[3]), std::strtoul(argv[4], nullptr, 10),
                  static_cast<uint16_t>(std::atoi(argv[5])), std::string(argv[6]) == "i2pd");
  }
  const std::string only = argc > 1 ? argv[1] : "";
  if (!only.empty() && only != "--fake-only" && only != "--i2pd-only") {
    std::fprintf(stderr, "usage: %s [--fake-only | --i2pd-only]\n", argv[0]);
    return 2;
  }
  std::printf(
      "bench_load: N concurrent echo streams through one session pair; each row in a\n"
      "process of its own (threads and descriptors counted while all streams are open)\n");
  if (only != "--i2pd-only") {
    velqor_test::FakeBridge bridge;
    bridge.pairStreams();
    table(argv[0], "on the fake bridge (in the parent process):", bridge.port(), false,
          {{50, 64 << 10}, {200, 64 << 10}, {1000, 64 << 10}});
  }
  if (only != "--fake-only") {
    velqor_sandbox::I2pdRouter router;
    table(argv[0], "on a private i2pd router (each row makes its two sessions: about 20 s):",
          router.samPort(), true, {{200, 64 << 10}, {1000, 1 << 10}});
  }
  return 0;
}
