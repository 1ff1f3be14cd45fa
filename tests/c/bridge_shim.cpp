#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "bridge_shim.h"
#include "fake_bridge.hpp"

struct fake_bridge {
  std::mutex mutex;
  std::map<int, std::string> received;  // by connection, what the client sent on a stream
  velqor_test::FakeBridge bridge;       // last, so its threads are joined first
};

static char* copyOf(const std::string& bytes) {
  char* copy = static_cast<char*>(std::malloc(bytes.size() + 1));
  std::memcpy(copy, bytes.c_str(), bytes.size() + 1);
  return copy;
}

extern "C" {

fake_bridge* fake_bridge_start(void) { return new fake_bridge(); }
void fake_bridge_stop(fake_bridge* bridge) { delete bridge; }
uint16_t fake_bridge_port(const fake_bridge* bridge) { return bridge->bridge.port(); }

void fake_bridge_on(fake_bridge* bridge, const char* prefix, const char* head, size_t head_length,
                    const char* tail, size_t tail_length, int end) {
  std::vector<std::string> pieces{std::string(head, head_length)};
  if (tail_length > 0) pieces.emplace_back(tail, tail_length);
  bridge->bridge.on(prefix, [=](velqor_test::BridgeConnection& conn, const std::string&) {
    conn.sendSplit(pieces);
    if (end) conn.shutdownWrite();
    std::string all = conn.readAll();
    std::lock_guard<std::mutex> lock(bridge->mutex);
    bridge->received[conn.id()] = std::move(all);
  });
}

char* fake_bridge_received(fake_bridge* bridge, int id, size_t* length) {
  bridge->bridge.waitUntilClosed(id);  // the handler above has returned by then
  std::lock_guard<std::mutex> lock(bridge->mutex);
  *length = bridge->received[id].size();
  return copyOf(bridge->received[id]);
}

int fake_bridge_saw(const fake_bridge* bridge, const char* needle) {
  for (const std::string& line : bridge->bridge.lines()) {
    if (line.find(needle) != std::string::npos) return 1;
  }
  return 0;
}

int fake_bridge_connection_count(const fake_bridge* bridge) {
  return bridge->bridge.connectionCount();
}
void fake_bridge_close(fake_bridge* bridge, int id) { bridge->bridge.closeConnection(id); }
int fake_bridge_closed(const fake_bridge* bridge, int id, int wait) {
  if (wait) bridge->bridge.waitUntilClosed(id);
  return bridge->bridge.isConnectionClosed(id);
}
uint16_t fake_bridge_udp_port(const fake_bridge* bridge) { return bridge->bridge.udpPort(); }
uint16_t fake_bridge_session_udp_port(const fake_bridge* bridge) {
  const auto lines = bridge->bridge.linesStartingWith("SESSION CREATE");
  const std::size_t at = lines.empty() ? std::string::npos : lines[0].find(" PORT=");
  return at == std::string::npos ? 0 : static_cast<uint16_t>(std::atoi(lines[0].c_str() + at + 6));
}
char* fake_bridge_udp_receive(fake_bridge* bridge, size_t* length) {
  const std::string datagram = bridge->bridge.receiveDatagram();
  *length = datagram.size();
  return copyOf(datagram);
}
void fake_bridge_udp_send(fake_bridge* bridge, uint16_t port, const char* bytes, size_t length) {
  bridge->bridge.sendDatagram(port, std::string(bytes, length));
}
char* fake_bridge_test_key(int priv) {
  return copyOf(priv ? velqor_test::testKeyPriv() : velqor_test::testKeyPub());
}

int fake_bridge_reserve_dead_port(uint16_t* port) {
  sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof addr;
  auto* raw = reinterpret_cast<sockaddr*>(&addr);
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (::bind(fd, raw, length) != 0 || ::getsockname(fd, raw, &length) != 0) std::abort();
  *port = ntohs(addr.sin_port);
  return fd;
}
void fake_bridge_release_port(int fd) { ::close(fd); }

}  // extern "C"
