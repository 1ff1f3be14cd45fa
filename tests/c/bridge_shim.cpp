#include "bridge_shim.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "fake_bridge.hpp"

struct fake_bridge {
  // What the clients sent on each stream, and whether the client has closed it yet.
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> received;
  std::vector<bool> ended;
  // Declared last so that it is destroyed first: its destructor joins the threads that use
  // the members above.
  velqor_test::FakeBridge bridge;
};

namespace {

char* copyOf(const std::string& bytes) {
  char* copy = static_cast<char*>(std::malloc(bytes.size() + 1));
  if (copy == nullptr) std::abort();
  std::memcpy(copy, bytes.data(), bytes.size());
  copy[bytes.size()] = '\0';
  return copy;
}

}  // namespace

extern "C" {

fake_bridge* fake_bridge_start(void) {
  try {
    return new fake_bridge();
  } catch (...) {
    return nullptr;
  }
}

void fake_bridge_stop(fake_bridge* bridge) { delete bridge; }

uint16_t fake_bridge_port(const fake_bridge* bridge) { return bridge->bridge.port(); }

void fake_bridge_on(fake_bridge* bridge, const char* prefix, const char* reply, size_t length) {
  bridge->bridge.on(prefix, std::string(reply, length));
}

void fake_bridge_on_stream(fake_bridge* bridge, const char* prefix, const char* status,
                           const char* data, size_t length, int flags) {
  const std::string statusLine(status);
  const std::string firstBytes(data == nullptr ? "" : std::string(data, length));
  bridge->bridge.on(prefix, [bridge, statusLine, firstBytes, flags](
                                velqor_test::BridgeConnection& conn, const std::string&) {
    std::size_t index;
    {
      std::lock_guard<std::mutex> lock(bridge->mutex);
      index = bridge->received.size();
      bridge->received.emplace_back();
      bridge->ended.push_back(false);
    }
    if ((flags & FAKE_BRIDGE_SAME_SEND) || firstBytes.empty()) {
      conn.send(statusLine + firstBytes);
    } else {
      conn.sendSplit({statusLine, firstBytes});
    }
    if (flags & FAKE_BRIDGE_END_AFTER_DATA) conn.shutdownWrite();
    std::string all = conn.readAll();
    {
      std::lock_guard<std::mutex> lock(bridge->mutex);
      bridge->received[index] = std::move(all);
      bridge->ended[index] = true;
    }
    bridge->changed.notify_all();
    conn.close();
  });
}

char* fake_bridge_stream_received(fake_bridge* bridge, int index, size_t* length) {
  std::unique_lock<std::mutex> lock(bridge->mutex);
  const std::size_t i = static_cast<std::size_t>(index);
  bridge->changed.wait(lock, [&] { return i < bridge->ended.size() && bridge->ended[i]; });
  *length = bridge->received[i].size();
  return copyOf(bridge->received[i]);
}

size_t fake_bridge_line_count(const fake_bridge* bridge) { return bridge->bridge.lines().size(); }

char* fake_bridge_line(const fake_bridge* bridge, size_t index) {
  const std::vector<std::string> lines = bridge->bridge.lines();
  return index < lines.size() ? copyOf(lines[index]) : nullptr;
}

int fake_bridge_connection_count(const fake_bridge* bridge) {
  return bridge->bridge.connectionCount();
}

void fake_bridge_wait_closed(const fake_bridge* bridge, int id) {
  bridge->bridge.waitUntilClosed(id);
}

int fake_bridge_reserve_dead_port(uint16_t* port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(fd);
    return -1;
  }
  *port = ntohs(addr.sin_port);
  return fd;
}

void fake_bridge_release_port(int fd) {
  if (fd >= 0) ::close(fd);
}

}  // extern "C"
