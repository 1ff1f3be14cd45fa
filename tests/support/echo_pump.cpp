#include "echo_pump.hpp"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace velqor_test {

namespace {

using SAM::Operation;

char echoByte(int stream, std::size_t offset) {
  return static_cast<char>((static_cast<std::size_t>(stream) * 131 + offset) % 251);
}

// One stream in the single thread's loop: a client's count of bytes sent and come back, or an
// echoing server stream's bytes not sent back yet.
struct Stream {
  int number = 0;  // a client's, for its bytes
  bool echo = false;
  std::size_t sent = 0, received = 0;
  bool same = true;
  std::string unsent;  // an echo's bytes that the connection did not take yet
  bool ended = false;  // and its descriptor closed
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

}  // namespace

void waitUntilAccepting(const std::vector<std::unique_ptr<Operation>>& operations) {
  std::vector<Operation*> waiting;
  for (const auto& op : operations) waiting.push_back(op.get());
  for (;;) {
    waiting.erase(std::remove_if(waiting.begin(), waiting.end(),
                                 [](Operation* op) {
                                   return op->waitsForPeer() ||
                                          op->progress() != Operation::Progress::PENDING;
                                 }),
                  waiting.end());
    if (waiting.empty()) return;
    Operation::wait(waiting.data(), waiting.size(), -1);
  }
}

void fillEchoBytes(char* piece, int stream, std::size_t offset, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) piece[i] = echoByte(stream, offset + i);
}

bool areEchoBytes(const char* piece, int stream, std::size_t offset, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    if (piece[i] != echoByte(stream, offset + i)) return false;
  }
  return true;
}

EchoOutcome pumpEchoes(std::vector<std::unique_ptr<Operation>> accepts,
                       const std::function<std::unique_ptr<Operation>()>& connect, int clients,
                       std::size_t size, int stallMs, const std::function<void()>& onStream) {
  EchoOutcome outcome;
  const int ep = ::epoll_create1(EPOLL_CLOEXEC);
  std::vector<Slot> slots;  // by descriptor
  std::vector<int> open;    // descriptors still in the loop, closed at the end
  const auto watch = [&](int fd, Slot& slot, uint32_t events, int how) {
    epoll_event event{events, {}};
    event.data.fd = fd;
    ::epoll_ctl(ep, how, fd, &event);
    slot.events = events;
  };
  int clientsDone = 0, number = 0, started = 0, connecting = 0;
  const auto failed = [&](const Operation& op) {
    if (outcome.failure.empty()) outcome.failure = op.error().reason;
    ++outcome.failed;
    if (op.kind() == Operation::Kind::STREAM_CONNECT) ++clientsDone;
  };
  const auto add = [&](std::unique_ptr<Operation> op) {
    const int fd = op->descriptor();
    if (fd < 0) return failed(*op);
    if (slots.size() <= static_cast<std::size_t>(fd)) slots.resize(fd + 1);
    slots[fd].op = std::move(op);
    watch(fd, slots[fd], epollEventsOf(*slots[fd].op), EPOLL_CTL_ADD);
  };
  // Connects go out as earlier ones end, so that no more than kConnectsAtOnce are under way.
  const auto startConnects = [&] {
    for (; started < clients && connecting < kConnectsAtOnce; ++started) {
      std::unique_ptr<Operation> op = connect();
      if (op->progress() == Operation::Progress::PENDING) ++connecting;
      add(std::move(op));
    }
  };
  for (std::unique_ptr<Operation>& op : accepts) add(std::move(op));
  startConnects();
  char buffer[kEchoPiece];
  epoll_event ready[256];
  while (clientsDone < clients) {
    const int n = ::epoll_wait(ep, ready, 256, stallMs);
    if (n == 0) {
      outcome.stalled = clients - clientsDone;
      break;
    }
    for (int k = 0; k < n; ++k) {
      const int fd = ready[k].data.fd;
      Slot& slot = slots[fd];
      if (slot.op) {
        const Operation::Progress progress = slot.op->step();
        if (progress != Operation::Progress::PENDING &&
            slot.op->kind() == Operation::Kind::STREAM_CONNECT) {
          --connecting;
        }
        if (progress == Operation::Progress::FAILED) {
          failed(*slot.op);
          slot.op.reset();  // which closes its descriptor, and takes it out of epoll
        } else if (progress == Operation::Progress::PENDING) {
          if (epollEventsOf(*slot.op) != slot.events) {
            watch(fd, slot, epollEventsOf(*slot.op), EPOLL_CTL_MOD);
          }
        } else {
          // The stream keeps the operation's descriptor: the same number, watched on.
          slot.stream = Stream();
          slot.stream.echo = slot.op->kind() == Operation::Kind::STREAM_ACCEPT;
          slot.stream.number = number++;
          std::string kept;
          slot.op->releaseDescriptor(kept);
          slot.op.reset();
          open.push_back(fd);
          if (onStream) onStream();
          watch(fd, slot, slot.stream.echo ? EPOLLIN : EPOLLIN | EPOLLOUT, EPOLL_CTL_MOD);
        }
        startConnects();
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
          const std::size_t length = std::min(kEchoPiece, size - s.sent);
          fillEchoBytes(buffer, s.number, s.sent, length);
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
          s.same =
              s.same && areEchoBytes(buffer, s.number, s.received, static_cast<std::size_t>(got));
          s.received += static_cast<std::size_t>(got);
        }
        ended = got == 0 || (got < 0 && errno != EAGAIN) || (!s.echo && s.received >= size);
        if (got <= 0) break;
      }
      if (ended) {
        if (!s.echo) {
          ++clientsDone;
          if (s.received != size || !s.same) ++outcome.wrong;
        }
        ::close(fd);  // which takes it out of epoll too
        s.ended = true;
        continue;
      }
      // An echo waits until its bytes are taken before it reads more.
      const uint32_t events = s.echo ? (s.unsent.empty() ? EPOLLIN : EPOLLOUT)
                                     : (s.sent < size ? EPOLLIN | EPOLLOUT : EPOLLIN);
      if (events != slot.events) watch(fd, slot, events, EPOLL_CTL_MOD);
    }
  }
  for (int fd : open) {
    if (!slots[fd].stream.ended) ::close(fd);
  }
  ::close(ep);
  return outcome;
}

}  // namespace velqor_test
