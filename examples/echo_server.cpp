// Accepts I2P streams through the SAM bridge, one after another, and sends back every byte
// each peer sends until it closes. Prints the destination that peers connect to.
//
//   echo_server [SAMHOST [SAMPORT [I2CP_OPTIONS]]]
//   echo_server 127.0.0.1 7656 "inbound.length=1 outbound.length=1"
#include <velqor/sam.hpp>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
  if (argc > 4) {
    std::cerr << "usage: " << argv[0] << " [SAMHOST [SAMPORT [I2CP_OPTIONS]]]\n";
    return 2;
  }
  const std::string samHost = argc > 1 ? argv[1] : "127.0.0.1";
  const auto samPort = static_cast<uint16_t>(argc > 2 ? std::atoi(argv[2]) : 7656);
  const std::string options = argc > 3 ? argv[3] : "";

  // Limits for talking to the bridge; none for reading, since a server waits for its peers
  // as long as it takes (each stream gets a limit of its own below).
  SAM::TimeLimits limits;
  limits.connect = std::chrono::seconds(10);
  limits.reply = std::chrono::minutes(3);  // creating the session builds tunnels
  limits.write = std::chrono::seconds(60);
  SAM::StreamSession session("echo-server", samHost, samPort, "TRANSIENT", options, limits);
  if (session.isSick()) {
    std::cerr << "no session: " << session.getLastError().reason << "\n";
    return 1;
  }
  std::cout << "listening at " << session.getMyDestination().pub << std::endl;

  for (;;) {
    // accept() returns as soon as the bridge has taken the request, which it answers at once;
    // the wait for a peer is the first read of the stream. With silent=false the bridge then
    // sends the peer's destination on a line of its own, and the peer's bytes follow.
    auto accepted = session.accept(/*silent=*/false);
    if (!accepted.isOk) {
      std::cerr << "accept failed: " << session.getLastError().reason << "\n";
      if (session.isSick()) return 1;  // the session is gone; a SessionKeeper would rebuild it
      continue;
    }
    SAM::I2pSocket& stream = *accepted.value;
    const std::string peer = stream.readLine();  // waits for the peer
    if (peer.empty()) {
      std::cerr << "no peer came: " << stream.getLastError().reason << "\n";
      continue;
    }
    std::cout << "stream from " << peer.substr(0, 16) << "..." << std::endl;
    SAM::TimeLimits idle = limits;
    idle.read = std::chrono::minutes(5);  // a peer silent for 5 minutes is let go
    stream.setTimeLimits(idle);
    for (std::string bytes = stream.read(); !bytes.empty(); bytes = stream.read()) {
      stream.write(bytes);
    }
    std::cout << "stream ended: " << stream.getLastError().reason << std::endl;
  }
}
