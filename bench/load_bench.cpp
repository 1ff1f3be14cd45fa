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

#include "echo_pump.hpp"
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
// client stream connects, writes its bytes and reads them back. The clients start once every
// accept is waiting at the bridge: i2pd closes incoming streams beyond 128 that find no accept,
// and accepts made one after another, each on a new connection, would fall behind.
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
  std::promise<void> accepting;
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
    accepting.set_value();
  });
  accepting.get_future().wait();
  std::vector<std::thread> clients;
  for (int i = 0; i < count; ++i) {
    clients.emplace_back([&, i] {
      auto connected = pair.client->connect(pair.server->getMyDestination().pub, false);
      if (!connected.isOk) die("connect: " + pair.client->getLastError().reason);
      opened();
      char piece[velqor_test::kEchoPiece];
      for (std::size_t offset = 0; offset < size; offset += velqor_test::kEchoPiece) {
        const std::size_t length = std::min(velqor_test::kEchoPiece, size - offset);
        velqor_test::fillEchoBytes(piece, i, offset, length);
        connected.value->write(std::string(piece, length));
      }
      std::size_t back = 0;
      bool same = true;
      while (back < size) {
        const std::string bytes = connected.value->read();
        if (bytes.empty()) break;
        same = same && velqor_test::areEchoBytes(bytes.data(), i, back, bytes.size());
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

// Operations: every accept started, then the connects (at most 64 under way at once), and every
// operation and every stream it becomes moved on by one epoll loop in this thread.
Figures runOneThread(Pair& pair, int count, std::size_t size) {
  Figures figures;
  const auto start = Clock::now();
  // As the threads do, the accepts wait at the bridge before the clients connect.
  std::vector<std::unique_ptr<Operation>> accepts;
  for (int i = 0; i < count; ++i) accepts.push_back(Operation::startAccept(*pair.server, false));
  velqor_test::waitUntilAccepting(accepts);
  const auto connect = [&] {
    return Operation::startConnect(*pair.client, pair.server->getMyDestination().pub, false);
  };
  int streams = 0;
  const velqor_test::EchoOutcome outcome =
      velqor_test::pumpEchoes(std::move(accepts), connect, count, size, 60000, [&] {
        if (++streams % std::max(1, count / 5) == 0) figures.sample();
      });
  figures.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  figures.wrong = outcome.wrong + outcome.stalled + outcome.failed;
  if (!outcome.ok()) {
    std::fprintf(stderr, "  %d wrong, %d operations failed (%s), %d stalled\n", outcome.wrong,
                 outcome.failed, outcome.failure.c_str(), outcome.stalled);
  }
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
  char out[velqor_test::kEchoPiece], in[velqor_test::kEchoPiece];
  std::function<void(bool whole)> ended;

  void writeMore() {
    if (sent == size) return;
    const std::size_t length = std::min(velqor_test::kEchoPiece, size - sent);
    velqor_test::fillEchoBytes(out, number, sent, length);
    asio::async_write(socket, asio::buffer(out, length),
                      [self = shared_from_this()](std::error_code ec, std::size_t n) {
                        self->sent += n;
                        if (!ec) self->writeMore();
                      });
  }
  void readMore() {
    socket.async_read_some(
        asio::buffer(in), [self = shared_from_this()](std::error_code ec, std::size_t n) {
          self->same =
              self->same && velqor_test::areEchoBytes(self->in, self->number, self->received, n);
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
               std::make_shared<std::vector<char>>(velqor_test::kEchoPiece));
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

// One row, in this process: prints its figures as one line for the parent. On i2pd the row
// starts a router of its own (a child process, so not counted), since a router that carried
// much data before carries the next row less well, and its SAM thread has been seen to die.
int runRow(const std::string& way, int count, std::size_t size, uint16_t port, bool onI2pd) {
  std::unique_ptr<velqor_sandbox::I2pdRouter> router;
  if (onI2pd) {
    router = std::make_unique<velqor_sandbox::I2pdRouter>();
    port = router->samPort();
  }
  Pair pair = makePair(port, onI2pd);
  const Figures f = way == "threads"      ? runThreads(pair, count, size)
                    : way == "one-thread" ? runOneThread(pair, count, size)
                                          : runAsio(pair, count, size, onI2pd);
  if (router && !router->isRunning()) std::printf("  (i2pd died during the row)\n");
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
      "process of its own (the most threads and descriptors seen while streams came about)\n");
  if (only != "--i2pd-only") {
    velqor_test::FakeBridge bridge;
    bridge.pairStreams();
    table(argv[0], "on the fake bridge (in the parent process):", bridge.port(), false,
          {{50, 64 << 10}, {200, 64 << 10}, {1000, 64 << 10}});
  }
  if (only != "--fake-only") {
    table(argv[0],
          "on a private i2pd router (each row starts one and makes its two sessions: about "
          "20 s):",
          0, true, {{200, 64 << 10}, {1000, 1 << 10}});
  }
  return 0;
}
