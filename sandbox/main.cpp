// velqor-sandbox: runs a private i2pd router on loopback, for trying programs and for tests,
// until SIGINT, SIGTERM or SIGHUP. See kHelp below and velqor-sandbox.1.
#include <signal.h>
#include <velqor/destination.hpp>

#include <iostream>
#include <string>

#include "i2pd_router.hpp"

namespace {

constexpr int kStopGraceMilliseconds = 5000;  // i2pd with a session open ignores SIGTERM alone

const char kUsage[] =
    "usage: velqor-sandbox [--host NAME=PUBLIC_DESTINATION]...\n"
    "       velqor-sandbox -h | --help | --version\n";

const char kHelp[] =
    "Runs a private I2P router (Debian's i2pd) on loopback, alone: no peers, no reseeding,\n"
    "zero-hop tunnels, in a temporary directory of its own, on free ports. Once its SAM bridge\n"
    "answers, prints on standard output, one per line:\n"
    "  SAM_PORT=<port>          the SAM bridge's TCP port on 127.0.0.1\n"
    "  SAM_UDP_PORT=<port>      its UDP port for datagrams (the SAM port minus 1)\n"
    "  SAM_HOST=127.0.0.1\n"
    "  SESSION_OPTIONS=<text>   the options every SESSION CREATE needs on this router\n"
    "  I2PD_PID=<pid>           the router process\n"
    "  I2PD_LOG=<path>          its log\n"
    "and runs until SIGINT (Ctrl-C), SIGTERM or SIGHUP, which stop i2pd (SIGTERM, then SIGKILL\n"
    "after 5 s) and remove its directory.\n"
    "\n"
    "Sessions on this router need SESSION_OPTIONS: zero-hop tunnels (a lone router builds no\n"
    "longer ones) and i2cp.leaseSetType=1, without which i2pd 2.45 answers a peer's connect but\n"
    "delivers no byte, and loses every datagram. Each SESSION CREATE takes about 20 s here.\n"
    "\n"
    "Options:\n"
    "  --host NAME=PUBLIC_DESTINATION, --host=NAME=PUBLIC_DESTINATION\n"
    "                 puts NAME (e.g. mysite.i2p) into the router's address book for the\n"
    "                 public destination (I2P base64, e.g. from velqor-keys show); repeatable\n"
    "  -h, --help     prints this help and exits\n"
    "  --version      prints the version and exits\n"
    "\n"
    "Exit status: 0 once stopped by a signal; 1 when i2pd did not start or ended by itself\n"
    "(the end of its log goes to standard error); 2 on a usage error.\n";

// Appends the entry "NAME=PUB" to `hosts`; false, with `error` set, when it is not one.
bool addHost(const std::string& entry, std::string& hosts, std::string& error) {
  const std::size_t equals = entry.find('=');
  if (equals == 0 || equals == std::string::npos || equals + 1 == entry.size()) {
    error = "--host wants NAME=PUBLIC_DESTINATION, not \"" + entry + "\"";
    return false;
  }
  // A public destination is its own public part; a private one (velqor-keys to-base64 prints
  // those) is longer, and a secret key does not belong in an address book.
  const std::string pub = entry.substr(equals + 1);
  if (entry.find_first_of(" \t\r\n") != std::string::npos || pub.size() < 516 ||
      SAM::b32Address(pub).empty() || SAM::derivePublicDestination(pub) != pub) {
    error = "--host " + entry.substr(0, equals) + ": not a public destination in I2P base64";
    return false;
  }
  hosts += entry + "\n";
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string hosts, error;  // hosts.txt
  for (int i = 1; i < argc && error.empty(); ++i) {
    const std::string argument = argv[i];
    if (argument == "-h" || argument == "--help") {
      std::cout << kUsage << "\n" << kHelp;
      return std::cout.flush() ? 0 : 1;
    } else if (argument == "--version") {
      std::cout << "velqor-sandbox " << VELQOR_SANDBOX_VERSION << "\n";
      return std::cout.flush() ? 0 : 1;
    } else if (argument == "--host" && i + 1 < argc) {
      addHost(argv[++i], hosts, error);
    } else if (argument.rfind("--host=", 0) == 0) {
      addHost(argument.substr(7), hosts, error);
    } else {
      error = argument == "--host" ? "--host wants a value" : "unknown argument " + argument;
    }
  }
  if (!error.empty()) {
    std::cerr << "velqor-sandbox: " << error << "\n" << kUsage;
    return 2;
  }
  // The stop signals and the router's end (SIGCHLD) are taken by sigwait() below; the router
  // unblocks every signal for itself.
  sigset_t awaited;
  sigemptyset(&awaited);
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&awaited, signal);
  sigprocmask(SIG_BLOCK, &awaited, nullptr);
  try {
    velqor_sandbox::I2pdRouter router(hosts);
    std::cout << "SAM_PORT=" << router.samPort() << "\n"
              << "SAM_UDP_PORT=" << router.samUdpPort() << "\n"
              << "SAM_HOST=" << velqor_sandbox::kRouterHost << "\n"
              << "SESSION_OPTIONS=" << velqor_sandbox::kServerSessionOptions << "\n"
              << "I2PD_PID=" << router.pid() << "\n"
              << "I2PD_LOG=" << router.file("i2pd.log") << std::endl;
    std::cerr << "velqor-sandbox: i2pd runs with its SAM bridge on " << velqor_sandbox::kRouterHost
              << ":" << router.samPort() << "; stop it with Ctrl-C" << std::endl;
    for (;;) {
      int received = 0;
      sigwait(&awaited, &received);
      if (received != SIGCHLD) break;
      if (router.isRunning()) continue;  // the end of an i2pd of an earlier, failed start
      std::cerr << "velqor-sandbox: i2pd " << router.exitReason()
                << " while it was running; end of its log:\n"
                << router.logTail() << std::endl;
      return 1;
    }
    router.stop(kStopGraceMilliseconds);
  } catch (const std::exception& e) {
    std::cerr << "velqor-sandbox: " << e.what() << std::endl;
    return 1;
  }
  return 0;
}
