// A fake bridge run in a child process, so that what the bridge holds (threads, the lines it
// records, its descriptors) does not count against the memory and descriptors of the process
// under test.
#ifndef VELQOR_TESTS_HOSTILE_BRIDGE_PROCESS_HPP
#define VELQOR_TESTS_HOSTILE_BRIDGE_PROCESS_HPP

#include <sys/types.h>

#include <cstdint>
#include <functional>

#include "fake_bridge.hpp"

namespace velqor_test {

class BridgeProcess {
 public:
  // Forks a child that makes a FakeBridge, lets `script` add its rules, and serves until this
  // object is destroyed. port() is 0 when the child could not be started.
  // REQUIRES: no other thread runs in this process (fork copies only the calling thread).
  explicit BridgeProcess(const std::function<void(FakeBridge&)>& script);
  // Tells the child to stop and waits for it.
  ~BridgeProcess();
  BridgeProcess(const BridgeProcess&) = delete;
  BridgeProcess& operator=(const BridgeProcess&) = delete;

  uint16_t port() const { return port_; }
  // Stops the child now; returns true when it exited with status 0.
  bool stop();

 private:
  pid_t child_ = -1;
  int stopFd_ = -1;  // the child serves until this, the write end of a pipe, is closed
  uint16_t port_ = 0;
  bool exitedCleanly_ = false;
};

}  // namespace velqor_test

#endif  // VELQOR_TESTS_HOSTILE_BRIDGE_PROCESS_HPP
