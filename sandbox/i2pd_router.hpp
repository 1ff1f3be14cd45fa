// A private i2pd router on loopback, in a temporary directory of its own, for trying programs
// and for tests: no peers, no reseeding, zero-hop tunnels.
#ifndef VELQOR_SANDBOX_I2PD_ROUTER_HPP
#define VELQOR_SANDBOX_I2PD_ROUTER_HPP

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace velqor_sandbox {

// The host the router's SAM bridge listens on.
constexpr char kRouterHost[] = "127.0.0.1";
// Every SESSION CREATE on this router needs zero hops: without peers longer tunnels never come up.
constexpr char kZeroHopOptions[] = "inbound.length=0 outbound.length=0";
// For sessions that others connect to, and for datagram sessions: without lease set type 1,
// i2pd 2.45 answers the peer's connect but never delivers a byte, and loses every datagram.
constexpr char kServerSessionOptions[] = "inbound.length=0 outbound.length=0 i2cp.leaseSetType=1";

class I2pdRouter {
 public:
  // Starts Debian's i2pd (/usr/sbin/i2pd) with `hosts` (lines NAME=PUBLIC_DESTINATION) in its
  // address book, on free loopback ports (SAM, the SAM UDP port below it, NTCP2), and waits
  // until its SAM bridge answers HELLO. Throws std::runtime_error with the end of its log when
  // it does not. i2pd gets SIGKILL when the thread that started it ends.
  explicit I2pdRouter(const std::string& hosts = "");
  ~I2pdRouter();  // kills the router and removes its directory
  I2pdRouter(const I2pdRouter&) = delete;
  I2pdRouter& operator=(const I2pdRouter&) = delete;

  uint16_t samPort() const { return samPort_; }
  // The bridge's UDP port for datagrams: the SAM port minus 1 on i2pd.
  uint16_t samUdpPort() const { return static_cast<uint16_t>(samPort_ - 1); }
  pid_t pid() const { return pid_; }
  // A file in the router's directory, which goes with the router; callers may keep files there.
  std::string file(const std::string& name) const { return directory_ + "/" + name; }
  std::string logTail() const;  // the end of the router's log
  // Whether the router process is still there (false once it has exited or was killed).
  bool isRunning();
  // How the router process ended, once isRunning() has seen it end on its own ("exited with
  // status 1", "killed by signal 11"); "" before.
  const std::string& exitReason() const { return exitReason_; }
  // SIGKILL, as in a crash: the connections to it end at once; its directory and ports stay.
  void kill();
  // SIGTERM, then SIGKILL after `graceMilliseconds` when it has not exited; the directory stays.
  void stop(int graceMilliseconds);
  // Starts the stopped or killed router again on the same ports and directory; throws as the
  // constructor does.
  void restart();

 private:
  bool launch();  // starts i2pd and waits for HELLO
  void removeAll();

  std::string directory_;
  std::vector<std::string> arguments_;
  uint16_t samPort_ = 0;
  pid_t pid_ = -1;
  std::string exitReason_;
};

}  // namespace velqor_sandbox

#endif  // VELQOR_SANDBOX_I2PD_ROUTER_HPP
