// Sends a reply in pieces that a client in this same process sees in separate receives.
//
// The fake bridge's own sendSplit watches the client's receive queue through /proc/net/tcp,
// whose cost grows with every socket on the machine (tens of milliseconds per piece with some
// ten thousand connections in TIME_WAIT), which is too slow for loops over every byte offset.
// Here the client's end is found among this process's descriptors instead, and the kernel is
// asked directly how much it has received and how much is still unread.
#ifndef VELQOR_TESTS_HOSTILE_SPLIT_SENDER_HPP
#define VELQOR_TESTS_HOSTILE_SPLIT_SENDER_HPP

#include <cstdint>
#include <string>
#include <vector>

#include "fake_bridge.hpp"

namespace velqor_test {

class SplitSender {
 public:
  SplitSender() = delete;

  // Sends each piece on `conn` with a send of its own. Before sending the next piece it waits
  // until the client ends of this process connected to 127.0.0.1:`bridgePort` have received
  // every byte sent so far and have taken them out of their receive queues. It stops waiting
  // when the connection is closed or one of those ends goes away, so a client that stops
  // reading cannot hold it forever.
  // REQUIRES: the clients send nothing the bridge answers while the pieces go out.
  static void send(BridgeConnection& conn, uint16_t bridgePort,
                   const std::vector<std::string>& pieces);
};

}  // namespace velqor_test

#endif  // VELQOR_TESTS_HOSTILE_SPLIT_SENDER_HPP
