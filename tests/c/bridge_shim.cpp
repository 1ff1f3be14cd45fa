#include "bridge_shim.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "fake_bridge.hpp"

struct fake_bridge {
  std::mutex mutex;
  std::map<int, std::string> received;  // by connection, what the client sent after the reply
  velqor_test::FakeBridge bridge;       // last, so its threads are joined first
};

static char* copyOf(const std::string& bytes, size_t* length = nullptr) {
  char* copy = static_cast<char*>(std::malloc(bytes.size() + 1));
  std::memcpy(copy, bytes.c_str(), bytes.size() + 1);
  if (length != nullptr) *length = bytes.size();
  return copy;
}

// C linkage, as declared in bridge_shim.h.
fake_bridge* fake_bridge_start(void) { return new fake_bridge(); }
void fake_bridge_stop(fake_bridge* bridge) { delete bridge; }
uint16_t fake_bridge_port(const fake_bridge* bridge) { return bridge->bridge.port(); }

void fake_bridge_on(fake_bridge* bridge, const char* prefix, const char* head, size_t head_length,
                    const char* tail, size_t tail_length, int end) {
  std::vector<std::string> pieces{std::string(head, head_length)};
  if (tail_length > 0) pieces.emplace_back(tail, tail_length);
  const auto never = end == 2 ? bridge->bridge.makeGate() : nullptr;
  bridge->bridge.on(prefix, [=](velqor_test::BridgeConnection& conn, const std::string&) {
    conn.sendSplit(pieces);
    if (never) return never->wait();
    if (end) conn.shutdownWrite();
    std::string all = conn.readAll();
    std::lock_guard<std::mutex> lock(bridge->mutex);
    bridge->received[conn.id()] = std::move(all);
  });
}

char* fake_bridge_received(fake_bridge* bridge, int id, size_t* length) {
  bridge->bridge.waitUntilClosed(id);  // the handler above has returned by then
  std::lock_guard<std::mutex> lock(bridge->mutex);
  return copyOf(bridge->received[id], length);
}

int fake_bridge_saw(const fake_bridge* bridge, const char* needle) {
  const std::vector<std::string> lines = bridge->bridge.lines();
  return std::any_of(lines.begin(), lines.end(),
                     [needle](const std::string& line) { return line.find(needle) != line.npos; });
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
char* fake_bridge_udp_receive(fake_bridge* bridge, size_t* length) {
  return copyOf(bridge->bridge.receiveDatagram(), length);
}
void fake_bridge_udp_send(fake_bridge* bridge, uint16_t port, const char* bytes, size_t length) {
  bridge->bridge.sendDatagram(port, std::string(bytes, length));
}
void fake_bridge_pair_streams(fake_bridge* bridge) { bridge->bridge.pairStreams(); }
int fake_bridge_unanswered_port(uint16_t* port) { return velqor_test::loopbackSocket(*port, 0); }
char* fake_bridge_test_key(int priv) {
  return copyOf(priv ? velqor_test::testKeyPriv() : velqor_test::testKeyPub());
}
