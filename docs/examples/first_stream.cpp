// Two peers on one SAM bridge: a server session and a client session, made at the same time.
// The client opens a stream to the server's destination and sends a line; the server sends it
// back. See docs/first-stream.md.
//
//   first_stream SAMPORT "SESSION_OPTIONS"     (both as velqor-sandbox prints them)
#include <velqor/sam.hpp>

#include <chrono>
#include <cstdlib>
#include <future>
#include <iostream>
#include <memory>
#include <string>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: first_stream SAMPORT SESSION_OPTIONS\n";
    return 2;
  }
  const auto port = static_cast<uint16_t>(std::atoi(argv[1]));
  const std::string options = argv[2];

  // Every wait on the bridge or the peer ends within its limit, with a reason.
  SAM::TimeLimits limits;
  limits.connect = std::chrono::seconds(10);
  limits.reply = std::chrono::minutes(3);  // SESSION CREATE: about 20 s on velqor-sandbox
  limits.read = std::chrono::seconds(60);
  limits.write = std::chrono::seconds(60);

  // Creating a session waits for its tunnels: make both at once.
  auto make = [&](const char* nickname) {
    return std::async(std::launch::async, [=] {
      return std::make_unique<SAM::StreamSession>(nickname, "127.0.0.1", port, "TRANSIENT", options,
                                                  limits);
    });
  };
  auto serverMade = make("guide-server"), clientMade = make("guide-client");
  const std::unique_ptr<SAM::StreamSession> server = serverMade.get(), client = clientMade.get();
  for (const SAM::StreamSession* session : {server.get(), client.get()}) {
    if (session->isSick()) {
      std::cerr << session->getNickname() << ": " << session->getLastError().reason << "\n";
      return 1;
    }
  }

  // The server: one stream, its first line is the peer's destination, then the peer's bytes.
  auto serving = std::async(std::launch::async, [&server]() -> std::string {
    auto accepted = server->accept(/*silent=*/false);
    if (!accepted.isOk) return "accept: " + server->getLastError().reason;
    SAM::I2pSocket& stream = *accepted.value;
    const std::string peer = stream.readLine(), line = stream.readLine();
    if (line.empty()) return "read: " + stream.getLastError().reason;
    stream.write(line);  // back to the client
    return "";
  });

  // The client: a stream to the server's public destination.
  auto connected = client->connect(server->getMyDestination().pub, /*silent=*/false);
  if (!connected.isOk) {
    std::cerr << "connect: " << client->getLastError().reason << "\n";
    return 1;
  }
  SAM::I2pSocket& stream = *connected.value;
  stream.write("hello over I2P\n");
  const std::string answer = stream.readLine();
  const std::string served = serving.get();
  if (!served.empty() || answer.empty()) {
    std::cerr << (served.empty() ? "read: " + stream.getLastError().reason : served) << "\n";
    return 1;
  }
  std::cout << "the server sent back: " << answer;
  return 0;
}
