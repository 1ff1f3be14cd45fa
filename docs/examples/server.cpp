// A server under a fixed destination: its key file is made on the first run and taken again on
// every later one, so peers find it at the same b32 address. It accepts streams one after the
// other and sends every line back. See docs/server.md.
//
//   server SAMPORT "SESSION_OPTIONS" KEY_FILE
#include <velqor/sam.hpp>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: server SAMPORT SESSION_OPTIONS KEY_FILE\n";
    return 2;
  }
  const auto port = static_cast<uint16_t>(std::atoi(argv[1]));
  SAM::TimeLimits limits;
  limits.connect = std::chrono::seconds(10);
  limits.reply = std::chrono::minutes(3);
  limits.write = std::chrono::seconds(60);  // no read limit: a server waits for its peers

  SAM::FullDestination key;
  const SAM::Error keyError = SAM::loadOrGenerateKeyFile(argv[3], "127.0.0.1", port, key, limits);
  if (!keyError.ok()) {
    std::cerr << keyError.reason << "\n";
    return 1;
  }
  // On i2pd a session that is connected to needs i2cp.leaseSetType=1 (in SESSION_OPTIONS).
  SAM::StreamSession session("guide-server", "127.0.0.1", port, key.priv, argv[2], limits);
  if (session.isSick()) {
    std::cerr << "no session: " << session.getLastError().reason << "\n";
    return 1;
  }
  std::cout << "reach me at " << SAM::b32Address(key.pub) << std::endl;

  for (;;) {
    // One ACCEPT at a time: i2pd 2.45 loses streams when several wait on one session.
    auto accepted = session.accept(/*silent=*/false);
    if (!accepted.isOk) {
      std::cerr << "accept: " << session.getLastError().reason << "\n";
      if (session.isSick()) return 1;
      continue;
    }
    SAM::I2pSocket& stream = *accepted.value;
    const std::string peer = stream.readLine();  // waits for a peer, then names it
    std::cout << "a stream from " << SAM::b32Address(peer.substr(0, peer.size() - 1)) << std::endl;
    for (std::string line = stream.readLine(); !line.empty(); line = stream.readLine()) {
      stream.write(line);
    }
  }
}
