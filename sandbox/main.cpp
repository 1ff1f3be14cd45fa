// velqor-sandbox [--host=NAME=PUBLIC_DESTINATION]...: runs a private i2pd router on loopback,
// for demonstrations and manual tests, until SIGINT, SIGTERM or SIGHUP. Each --host puts NAME
// into its address book. Prints "SAM_PORT=<port>" once the bridge answers; exits 0 once the
// router is stopped and its directory removed, 1 when it did not start, 2 on a usage error.
#include <signal.h>

#include <iostream>
#include <string>

#include "i2pd_router.hpp"

int main(int argc, char** argv) {
  std::string hosts;  // hosts.txt
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument.rfind("--host=", 0) != 0 || argument.find('=', 7) == std::string::npos) {
      std::cerr << "usage: velqor-sandbox [--host=NAME=PUBLIC_DESTINATION]...\n";
      return 2;
    }
    hosts += argument.substr(7) + "\n";
  }
  sigset_t stopSignals;  // blocked for sigwait() below; the router unblocks them for itself
  sigemptyset(&stopSignals);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stopSignals, signal);
  sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
  try {
    velqor_sandbox::I2pdRouter router(hosts);
    std::cout << "SAM_PORT=" << router.samPort() << std::endl;
    std::cerr << "i2pd logs to " << router.file("i2pd.log") << std::endl;
    int received = 0;
    sigwait(&stopSignals, &received);
  } catch (const std::exception& e) {
    std::cerr << "velqor-sandbox: " << e.what() << std::endl;
    return 1;
  }
  return 0;
}
