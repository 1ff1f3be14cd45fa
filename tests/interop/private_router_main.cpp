// velqor_private_router: runs a private i2pd router for demonstrations and manual tests, on
// free loopback ports with a temporary directory of its own, until SIGINT or SIGTERM.
//
//   velqor_private_router [--host=NAME=PUBLIC_DESTINATION]...
//
// Each --host puts NAME into the router's address book. Once the SAM bridge answers, one line
// "SAM_PORT=<port>" is printed on standard output. On SIGINT or SIGTERM the router is stopped
// and its directory removed; the exit status is 0, or 1 when the router did not start.
#include <signal.h>

#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "harness.hpp"

int main(int argc, char** argv) {
  std::vector<velqor_interop::I2pdRouter::HostEntry> hosts;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    const std::string prefix = "--host=";
    const std::size_t equals = argument.find('=', prefix.size());
    if (argument.compare(0, prefix.size(), prefix) != 0 || equals == std::string::npos) {
      std::cerr << "usage: velqor_private_router [--host=NAME=PUBLIC_DESTINATION]...\n";
      return 2;
    }
    hosts.push_back(
        {argument.substr(prefix.size(), equals - prefix.size()), argument.substr(equals + 1)});
  }

  // Blocked before the router starts, for sigwait() below; the router unblocks them for itself.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  sigprocmask(SIG_BLOCK, &stopSignals, nullptr);

  try {
    velqor_interop::I2pdRouter router(hosts);
    std::cout << "SAM_PORT=" << router.samPort() << std::endl;
    std::cerr << "i2pd runs in " << router.directory() << std::endl;
    int received = 0;
    sigwait(&stopSignals, &received);
  } catch (const std::exception& e) {
    std::cerr << "velqor_private_router: " << e.what() << std::endl;
    return 1;
  }
  return 0;
}
