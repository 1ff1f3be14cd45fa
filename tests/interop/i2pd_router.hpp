// A private i2pd router for tests: its own temporary directory and configuration, loopback
// ports chosen by the kernel, no peers, no reseeding, and zero-hop tunnels.
#ifndef VELQOR_TESTS_INTEROP_I2PD_ROUTER_HPP
#define VELQOR_TESTS_INTEROP_I2PD_ROUTER_HPP

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "child_process.hpp"
#include "temp_directory.hpp"

namespace velqor_interop {

// Options that every SESSION CREATE on this router needs: it has no peers, so tunnels of the
// default length never come up and the bridge would never answer.
constexpr char kZeroHopOptions[] = "inbound.length=0 outbound.length=0";
// Options of a session that others connect to (accept or forward). Without the lease set
// type 1, i2pd 2.45 answers the peer's connect but never delivers a byte.
constexpr char kServerSessionOptions[] = "inbound.length=0 outbound.length=0 i2cp.leaseSetType=1";

class I2pdRouter {
 public:
  // One line of the router's address book: `name` (e.g. "site.i2p") stands for `destination`
  // (a public destination).
  struct HostEntry {
    std::string name;
    std::string destination;
  };

  static constexpr char kExecutable[] = "/usr/sbin/i2pd";

  // Writes the configuration and address book, starts i2pd and waits until its SAM bridge
  // answers HELLO with RESULT=OK. Throws std::runtime_error (with the end of the router's log)
  // when it does not start or does not answer within `readyLimit`; nothing is left running.
  explicit I2pdRouter(const std::vector<HostEntry>& hosts = {},
                      std::chrono::milliseconds readyLimit = std::chrono::seconds(30));
  // Stops the router (SIGTERM, then SIGKILL after 5 s) and removes its directory.
  ~I2pdRouter();
  I2pdRouter(const I2pdRouter&) = delete;
  I2pdRouter& operator=(const I2pdRouter&) = delete;

  const std::string& samHost() const { return samHost_; }
  uint16_t samPort() const { return samPort_; }
  // The router's directory (configuration, data, log).
  const std::string& directory() const { return directory_->path(); }
  // The last `lines` lines of the router's log.
  std::string logTail(std::size_t lines = 20) const;

  // Stops the router now; later calls do nothing.
  void stop();

 private:
  bool startOnce(const std::vector<HostEntry>& hosts, std::chrono::milliseconds readyLimit);

  const std::string samHost_ = "127.0.0.1";
  uint16_t samPort_ = 0;
  std::unique_ptr<TempDirectory> directory_;
  std::unique_ptr<ChildProcess> process_;
};

}  // namespace velqor_interop

#endif  // VELQOR_TESTS_INTEROP_I2PD_ROUTER_HPP
