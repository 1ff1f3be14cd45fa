// Accepts I2P streams through the SAM bridge, one after another, and sends back every byte
// each peer sends until it closes. Prints the destination that peers connect to.
//
//   echo_server [SAMHOST [SAMPORT [I2CP_OPTIONS]]]
//   echo_server 127.0.0.1 7656 "inbound.length=1 outbound.length=1"
#include <velqor/sam.hpp>

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

  SAM::StreamSession session("echo-server", samHost, samPort, "TRANSIENT", options);
  if (session.isSick()) {
    std::cerr << "no session at the SAM bridge " << samHost << ":" << samPort << "\n";
    return 1;
  }
  std::cout << "listening at " << session.getMyDestination().pub << std::endl;

  for (;;) {
    // accept() blocks until a peer connects. With silent=false the bridge first sends the
    // peer's destination on a line of its own; the peer's bytes follow.
    auto accepted = session.accept(/*silent=*/false);
    if (!accepted.isOk) {
      if (session.isSick()) return 1;  // the session is gone; a caller could rebuild it
      continue;
    }
    SAM::I2pSocket& stream = *accepted.value;
    const std::string peer = stream.readLine();
    std::cout << "stream from " << peer.substr(0, 16) << "..." << std::endl;
    for (std::string bytes = stream.read(); !bytes.empty(); bytes = stream.read()) {
      stream.write(bytes);
    }
  }
}
