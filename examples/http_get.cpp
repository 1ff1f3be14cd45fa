// Looks up an I2P name through the SAM bridge, connects to it, sends an HTTP GET for "/" and
// prints the reply.
//
//   http_get NAME [SAMHOST [SAMPORT [I2CP_OPTIONS]]]
//   http_get example.i2p 127.0.0.1 7656 "inbound.length=1 outbound.length=1"
#include <velqor/sam.hpp>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
  if (argc < 2 || argc > 5) {
    std::cerr << "usage: " << argv[0] << " NAME [SAMHOST [SAMPORT [I2CP_OPTIONS]]]\n";
    return 2;
  }
  const std::string name = argv[1];
  const std::string samHost = argc > 2 ? argv[2] : "127.0.0.1";
  const auto samPort = static_cast<uint16_t>(argc > 3 ? std::atoi(argv[3]) : 7656);
  const std::string options = argc > 4 ? argv[4] : "";

  // Without limits every call waits as long as the bridge or the site takes: bound each phase,
  // and the whole run. The session's sockets (the stream below) get the same limits.
  SAM::TimeLimits limits;
  limits.connect = std::chrono::seconds(10);
  limits.reply = std::chrono::minutes(3);  // creating the session builds tunnels
  limits.read = std::chrono::seconds(60);
  limits.write = std::chrono::seconds(60);
  limits.deadline = std::chrono::steady_clock::now() + std::chrono::minutes(10);

  // Creating a session talks to the bridge and never throws; a failure shows as a sick session,
  // and getLastError() says why.
  SAM::StreamSession session("http-get", samHost, samPort, "TRANSIENT", options, limits);
  if (session.isSick()) {
    std::cerr << "no session: " << session.getLastError().reason << "\n";
    return 1;
  }

  // Each request opens a connection of its own to the bridge.
  const auto lookup = session.namingLookup(name);
  if (!lookup.isOk) {
    std::cerr << "cannot resolve " << name << ": " << session.getLastError().reason << "\n";
    return 1;
  }
  auto connection = session.connect(lookup.value, /*silent=*/false);
  if (!connection.isOk) {
    std::cerr << "cannot connect to " << name << ": " << session.getLastError().reason << "\n";
    return 1;
  }

  // From here the connection is the stream: what we write reaches the site, and read()
  // returns what it sends, until it closes the stream (an empty read).
  SAM::I2pSocket& stream = *connection.value;
  stream.write("GET / HTTP/1.1\r\nHost: " + name + "\r\nConnection: close\r\n\r\n");
  for (std::string bytes = stream.read(); !bytes.empty(); bytes = stream.read()) {
    std::cout << bytes;
  }
  // An empty read is the end of the stream, or a failure: the socket's last error tells which.
  if (stream.getLastError().code != SAM::ErrorCode::CLOSED && !stream.getLastError().ok()) {
    std::cerr << "the reply was cut short: " << stream.getLastError().reason << "\n";
    return 1;
  }
  return 0;
}
