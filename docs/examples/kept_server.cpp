// A server that outlives its router: a SessionKeeper holds its session, made under a key file,
// and makes it again, with its forward to a local TCP port, whenever the router lost it. See
// docs/keeping-alive.md.
//
//   kept_server SAMPORT "SESSION_OPTIONS" KEY_FILE LOCAL_PORT
#include <velqor/sam.hpp>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

int main(int argc, char** argv) {
  if (argc != 5) {
    std::cerr << "usage: kept_server SAMPORT SESSION_OPTIONS KEY_FILE LOCAL_PORT\n";
    return 2;
  }
  const auto port = static_cast<uint16_t>(std::atoi(argv[1]));
  const auto localPort = static_cast<uint16_t>(std::atoi(argv[4]));
  // Each attempt to make the session again is bounded by these: give connect and reply limits,
  // or a router that takes the connection but never answers holds the keeper.
  SAM::TimeLimits limits;
  limits.connect = std::chrono::seconds(5);
  limits.reply = std::chrono::seconds(90);

  SAM::FullDestination key;
  const SAM::Error keyError = SAM::loadOrGenerateKeyFile(argv[3], "127.0.0.1", port, key, limits);
  if (!keyError.ok()) {
    std::cerr << keyError.reason << "\n";
    return 1;
  }
  SAM::SessionKeeper keeper(std::make_unique<SAM::StreamSession>("guide-kept", "127.0.0.1", port,
                                                                 key.priv, argv[2], limits));
  keeper.setListener([&keeper](SAM::SessionKeeper::State state, const SAM::Error& why) {
    static const char* const names[] = {"healthy", "lost, rebuilding", "attempt failed", "rebuilt"};
    std::cerr << names[static_cast<int>(state)] << (why.ok() ? "" : ": " + why.reason);
    if (keeper.backoff().count() > 0)
      std::cerr << " (next try in " << keeper.backoff().count() << " ms)";
    std::cerr << std::endl;
  });
  // A session whose creation failed (the router is not up yet) is rebuilt by keep() as well.
  if (!keeper.session().isSick() && !keeper.session().forward("127.0.0.1", localPort, true).isOk) {
    std::cerr << "forward: " << keeper.session().getLastError().reason << "\n";
    return 1;
  }
  std::cout << "serving 127.0.0.1:" << localPort << " at " << SAM::b32Address(key.pub) << std::endl;
  for (;;) {
    // Checks the session without sending anything and rebuilds it when it is lost, waiting at
    // most 10 s; a program would do its other work between two calls.
    keeper.keep(std::chrono::seconds(10));
  }
}
