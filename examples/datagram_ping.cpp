// Two repliable datagram sessions on one SAM bridge: one pings the other COUNT times, the other
// answers each ping to the sender the bridge names; prints every round-trip time.
//
//   datagram_ping [COUNT [SAMHOST [SAMPORT [I2CP_OPTIONS]]]]
//   datagram_ping 10 127.0.0.1 7656 "inbound.length=0 outbound.length=0 i2cp.leaseSetType=1"
//
// Those options are the ones a private router such as velqor-sandbox needs (its
// SESSION_OPTIONS line): without i2cp.leaseSetType=1 i2pd 2.45 loses every datagram.
#include <velqor/sam.hpp>

#include <chrono>
#include <cstdlib>
#include <future>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

int main(int argc, char** argv) {
  if (argc > 5) {
    std::cerr << "usage: " << argv[0] << " [COUNT [SAMHOST [SAMPORT [I2CP_OPTIONS]]]]\n";
    return 2;
  }
  const int count = argc > 1 ? std::atoi(argv[1]) : 10;
  const std::string samHost = argc > 2 ? argv[2] : "127.0.0.1";
  const auto samPort = static_cast<uint16_t>(argc > 3 ? std::atoi(argv[3]) : 7656);
  const std::string options = argc > 4 ? argv[4] : "";

  // A lost datagram is never resent: a receive gives up after 5 s. Creating a session waits
  // for the bridge at most 3 minutes.
  SAM::TimeLimits limits;
  limits.connect = std::chrono::seconds(10);
  limits.reply = std::chrono::minutes(3);
  limits.read = std::chrono::seconds(5);
  // Creating a session can take a while (tunnels are built): make both at the same time.
  auto open = [&](const char* name) {
    return std::async(std::launch::async, [=] {
      return std::make_unique<SAM::DatagramSession>(name, samHost, samPort, SAM::Message::DATAGRAM,
                                                    "TRANSIENT", options, limits);
    });
  };
  auto pingerStarted = open("ping"), pongerStarted = open("pong");
  const auto pinger = pingerStarted.get(), ponger = pongerStarted.get();
  for (const auto* session : {pinger.get(), ponger.get()}) {
    if (session->isSick()) {
      std::cerr << "no session: " << session->getLastError().reason << "\n";
      return 1;
    }
  }

  // The answering side: every datagram goes back to its sender, until "bye" or 5 s of quiet.
  std::thread answering([&ponger] {
    for (auto got = ponger->receive(); got.isOk && got.value.payload != "bye";
         got = ponger->receive()) {
      ponger->send(got.value.sender, got.value.payload);
    }
  });

  int answered = 0;
  for (int i = 0; i < count; ++i) {
    const std::string ping = "ping " + std::to_string(i);
    const auto sent = std::chrono::steady_clock::now();
    if (!pinger->send(ponger->getMyDestination().pub, ping).isOk) {
      std::cout << ping << ": not sent (" << pinger->getLastError().reason << ")\n";
      continue;
    }
    const auto pong = pinger->receive();
    const std::chrono::duration<double, std::milli> rtt = std::chrono::steady_clock::now() - sent;
    if (pong.isOk && pong.value.payload == ping) {
      ++answered;
      std::cout << ping << ": " << rtt.count() << " ms\n";
    } else {
      std::cout << ping << ": no answer (" << pinger->getLastError().reason << ")\n";
    }
  }
  pinger->send(ponger->getMyDestination().pub, "bye");
  answering.join();
  std::cout << answered << " of " << count << " pings answered\n";
  return answered == count ? 0 : 1;
}
