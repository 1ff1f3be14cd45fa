// Ten thousand requests of mixed kinds, some failing by the bridge's script, against a fake
// bridge in a child process (so that its threads, records and descriptors do not count here).
// Every outcome must be the scripted one, and the open descriptors and resident memory at the
// end must be what they were after the first hundred requests.
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <velqor/sam.hpp>

#include "fake_bridge.hpp"
#include "process_usage.hpp"

#if defined(__SANITIZE_ADDRESS__)
#define VELQOR_UNDER_ASAN
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELQOR_UNDER_ASAN
#endif
#endif

namespace {

using SAM::StreamSession;
using velqor_test::BridgeConnection;
using velqor_test::openDescriptors;

const std::string streamBytes = std::string("\0stream bytes\r\n\xff", 16);
const std::string& pub() { return velqor_test::testKeyPub(); }

// Names, destinations and forward ports say how the bridge answers.
void scriptBridge(velqor_test::FakeBridge& bridge) {
  bridge.on("NAMING LOOKUP NAME=known", "NAMING REPLY RESULT=OK NAME=known VALUE=" + pub() + "\n");
  bridge.on("NAMING LOOKUP NAME=unknown", "NAMING REPLY RESULT=KEY_NOT_FOUND NAME=unknown\n");
  bridge.on("NAMING LOOKUP NAME=cut", [](BridgeConnection& conn, const std::string&) {
    conn.send("NAMING REPLY RESULT=O");
    conn.close();
  });
  bridge.on("DEST GENERATE",
            "DEST REPLY PUB=" + pub() + " PRIV=" + velqor_test::testKeyPriv() + "\n");
  bridge.on("STREAM CONNECT ID=", [](BridgeConnection& conn, const std::string& line) {
    if (line.find("DESTINATION=unreachable") != std::string::npos) {
      return conn.send("STREAM STATUS RESULT=CANT_REACH_PEER MESSAGE=\"no route\"\n");
    }
    conn.send("STREAM STATUS RESULT=OK\n" + streamBytes);
    conn.close();
  });
  bridge.on("STREAM ACCEPT ID=", [](BridgeConnection& conn, const std::string&) {
    conn.send("STREAM STATUS RESULT=OK\n" + pub() + " FROM_PORT=0 TO_PORT=0\n" + streamBytes);
    conn.close();
  });
  bridge.on("STREAM FORWARD ID=", [](BridgeConnection& conn, const std::string& line) {
    conn.send(line.find("PORT=1 ") != std::string::npos ? "STREAM STATUS RESULT=INVALID_ID\n"
                                                        : "STREAM STATUS RESULT=OK\n");
  });
}

std::string readToEnd(SAM::I2pSocket& socket) {
  std::string all;
  for (std::string piece = socket.read(); !piece.empty(); piece = socket.read()) all += piece;
  return all;
}

// Each makes one request and tells whether it ended as the bridge's script says it must.
const std::vector<std::function<bool(StreamSession&)>> requests = {
    [](StreamSession& s) { return s.namingLookup("known").value == pub(); },
    [](StreamSession& s) { return !s.namingLookup("unknown").isOk; },
    [](StreamSession& s) { return !s.namingLookup("cut").isOk; },
    [](StreamSession& s) { return !s.namingLookup("known\nDEST GENERATE").isOk; },
    [](StreamSession& s) { return s.destGenerate().value.pub == pub(); },
    [](StreamSession& s) {
      const auto result = s.connect(pub(), false);
      return result.isOk && readToEnd(*result.value) == streamBytes;
    },
    [](StreamSession& s) { return !s.connect("unreachable", false).isOk; },
    [](StreamSession& s) {
      const auto result = s.accept(false);
      return result.isOk && result.value->readLine() == pub() + " FROM_PORT=0 TO_PORT=0\n" &&
             readToEnd(*result.value) == streamBytes;
    },
    [](StreamSession& s) {
      const bool made =
          s.forward("127.0.0.1", 7000, true).isOk && s.forward("127.0.0.1", 7000, false).isOk;
      s.stopForwarding("127.0.0.1", 7000);
      return made;
    },
    [](StreamSession& s) { return !s.forward("127.0.0.1", 1, true).isOk; },
};

std::size_t residentKiB() {
  std::ifstream status("/proc/self/status");
  std::size_t kib = 0;
  for (std::string field; status >> field;) {
    if (field == "VmRSS:" && status >> kib) break;
  }
  return kib;
}

TEST(SoakTest, TenThousandMixedRequestsLeaveDescriptorsAndMemoryAsTheyWere) {
  const int descriptorsAtStart = openDescriptors();
  int channel[2];  // the child sends its bridge's port, then serves until this end closes
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel), 0);
  const pid_t child = fork();  // no other thread runs yet: fork copies only this one
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(channel[0]);
    {
      velqor_test::FakeBridge bridge;
      scriptBridge(bridge);
      const uint16_t port = bridge.port();
      char ignored;
      const bool sent = ::write(channel[1], &port, sizeof port) == sizeof port;
      while (sent && ::read(channel[1], &ignored, 1) < 0 && errno == EINTR) {
      }
    }
    _exit(0);
  }
  ::close(channel[1]);
  uint16_t port = 0;
  ASSERT_EQ(::read(channel[0], &port, sizeof port), static_cast<ssize_t>(sizeof port));
  {
    StreamSession session("soak", "127.0.0.1", port);
    ASSERT_FALSE(session.isSick());
    std::mt19937 random(7);
    std::vector<int> wrong(requests.size());  // requests of each kind not ending as scripted
    int descriptorsAfterWarmUp = 0;
    [[maybe_unused]] std::size_t residentAfterWarmUp = 0;
    for (int i = 0; i < 10000; ++i) {
      if (i == 100) {
        descriptorsAfterWarmUp = openDescriptors();
        residentAfterWarmUp = residentKiB();
      }
      const std::size_t kind = random() % requests.size();
      wrong[kind] += !requests[kind](session);
    }
    EXPECT_EQ(wrong, std::vector<int>(requests.size()));
    EXPECT_EQ(openDescriptors(), descriptorsAfterWarmUp);
#ifndef VELQOR_UNDER_ASAN  // its allocator holds freed memory back
    // 1 MiB of room for the allocator: far below what a leak of 100 bytes a request would add.
    EXPECT_LE(residentKiB(), residentAfterWarmUp + 1024) << "after 100: " << residentAfterWarmUp;
#endif
  }
  ::close(channel[0]);
  ASSERT_EQ(waitpid(child, nullptr, 0), child);
  EXPECT_EQ(openDescriptors(), descriptorsAtStart);
}

}  // namespace
