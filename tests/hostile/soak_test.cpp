// Ten thousand requests of mixed kinds, some failing by the bridge's script, against a fake
// bridge in a child process. Every outcome must be the scripted one, and the open
// descriptors and the resident memory at the end must be what they were after the first
// hundred requests.
#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdio>
#include <random>
#include <string>

#include <velqor/sam.hpp>

#include "bridge_process.hpp"
#include "fake_bridge.hpp"
#include "process_usage.hpp"

#if defined(__SANITIZE_ADDRESS__)
#define VELQOR_SOAK_UNDER_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELQOR_SOAK_UNDER_SANITIZER 1
#endif
#endif

namespace {

using SAM::StreamSession;
using velqor_test::BridgeConnection;
using velqor_test::BridgeProcess;
using velqor_test::FakeBridge;
using velqor_test::ProcessUsage;

constexpr int requestCount = 10000;
constexpr int warmUpCount = 100;
// Resident memory may grow by this much between the hundredth request and the last: room for
// the allocator's bookkeeping, far below what a leak of even 100 bytes a request would add.
constexpr std::size_t residentTolerance = 1 << 20;

const std::string streamBytes = std::string("\0stream bytes\r\n\xff", 16);

// Requests whose names, destinations or forward ports say how the bridge answers them.
void scriptBridge(FakeBridge& bridge) {
  const std::string pub = velqor_test::testKeyPub();
  const std::string priv = velqor_test::testKeyPriv();
  bridge.on("NAMING LOOKUP NAME=known", "NAMING REPLY RESULT=OK NAME=known VALUE=" + pub + "\n");
  bridge.on("NAMING LOOKUP NAME=unknown", "NAMING REPLY RESULT=KEY_NOT_FOUND NAME=unknown\n");
  bridge.on("NAMING LOOKUP NAME=cut", [](BridgeConnection& conn, const std::string&) {
    conn.send("NAMING REPLY RESULT=O");
    conn.close();
  });
  bridge.on("DEST GENERATE", "DEST REPLY PUB=" + pub + " PRIV=" + priv + "\n");
  bridge.on("STREAM CONNECT ID=", [](BridgeConnection& conn, const std::string& line) {
    if (line.find("DESTINATION=unreachable") != std::string::npos) {
      conn.send("STREAM STATUS RESULT=CANT_REACH_PEER MESSAGE=\"no route\"\n");
      return;
    }
    conn.send("STREAM STATUS RESULT=OK\n" + streamBytes);
    conn.close();
  });
  bridge.on("STREAM ACCEPT ID=", [pub](BridgeConnection& conn, const std::string&) {
    conn.send("STREAM STATUS RESULT=OK\n" + pub + " FROM_PORT=0 TO_PORT=0\n" + streamBytes);
    conn.close();
  });
  bridge.on("STREAM FORWARD ID=", [](BridgeConnection& conn, const std::string& line) {
    conn.send(line.find("PORT=1 ") != std::string::npos ? "STREAM STATUS RESULT=INVALID_ID\n"
                                                        : "STREAM STATUS RESULT=OK\n");
  });
}

// Reads the rest of a stream, up to its end.
std::string readToEnd(SAM::I2pSocket& socket) {
  std::string all;
  for (std::string piece = socket.read(); !piece.empty(); piece = socket.read()) all += piece;
  return all;
}

enum RequestKind {
  LOOKUP,
  LOOKUP_UNKNOWN,
  LOOKUP_CUT_OFF,
  LOOKUP_REFUSED,
  GENERATE,
  CONNECT,
  CONNECT_UNREACHABLE,
  ACCEPT,
  FORWARD,
  FORWARD_REFUSED,
  KIND_COUNT
};

// Makes one request of `kind` and returns whether it ended as the script says it must.
bool requestAsScripted(StreamSession& session, RequestKind kind) {
  const std::string& pub = velqor_test::testKeyPub();
  switch (kind) {
    case LOOKUP:
      return session.namingLookup("known").value == pub;
    case LOOKUP_UNKNOWN:
      return !session.namingLookup("unknown").isOk;
    case LOOKUP_CUT_OFF:
      return !session.namingLookup("cut").isOk;
    case LOOKUP_REFUSED:
      return !session.namingLookup("known\nDEST GENERATE").isOk;
    case GENERATE:
      return session.destGenerate().value.pub == pub;
    case CONNECT: {
      const auto result = session.connect(pub, false);
      return result.isOk && readToEnd(*result.value) == streamBytes;
    }
    case CONNECT_UNREACHABLE:
      return !session.connect("unreachable", false).isOk;
    case ACCEPT: {
      const auto result = session.accept(false);
      return result.isOk && result.value->readLine() == pub + " FROM_PORT=0 TO_PORT=0\n" &&
             readToEnd(*result.value) == streamBytes;
    }
    case FORWARD: {
      const bool made = session.forward("127.0.0.1", 7000, true).isOk &&
                        session.forward("127.0.0.1", 7000, false).isOk;
      session.stopForwarding("127.0.0.1", 7000);
      return made;
    }
    case FORWARD_REFUSED:
      return !session.forward("127.0.0.1", 1, true).isOk;
    case KIND_COUNT:
      break;
  }
  return false;
}

TEST(SoakTest, TenThousandMixedRequestsLeaveDescriptorsAndMemoryAsTheyWere) {
  const int descriptorsAtStart = ProcessUsage::openDescriptors();
  BridgeProcess bridge(scriptBridge);
  ASSERT_NE(bridge.port(), 0);
  {
    StreamSession session("soak", "127.0.0.1", bridge.port());
    ASSERT_FALSE(session.isSick());

    std::mt19937 random(7);
    std::array<int, KIND_COUNT> asScripted{};
    std::array<int, KIND_COUNT> made{};
    int descriptorsAfterWarmUp = 0;
    std::size_t residentAfterWarmUp = 0;
    for (int i = 0; i < requestCount; ++i) {
      if (i == warmUpCount) {
        descriptorsAfterWarmUp = ProcessUsage::openDescriptors();
        residentAfterWarmUp = ProcessUsage::residentBytes();
      }
      const auto kind = static_cast<RequestKind>(random() % KIND_COUNT);
      ++made[kind];
      asScripted[kind] += requestAsScripted(session, kind);
    }
    std::printf("after %d requests: %d descriptors, %zu KiB resident; after %d: %d, %zu KiB\n",
                warmUpCount, descriptorsAfterWarmUp, residentAfterWarmUp / 1024, requestCount,
                ProcessUsage::openDescriptors(), ProcessUsage::residentBytes() / 1024);
    EXPECT_EQ(asScripted, made) << "requests that did not end as scripted";
    EXPECT_EQ(ProcessUsage::openDescriptors(), descriptorsAfterWarmUp);
#ifndef VELQOR_SOAK_UNDER_SANITIZER
    const std::size_t resident = ProcessUsage::residentBytes();
    EXPECT_LE(resident, residentAfterWarmUp + residentTolerance)
        << "resident memory grew from " << residentAfterWarmUp << " to " << resident << " bytes";
#endif
  }
  EXPECT_TRUE(bridge.stop()) << "the bridge's process did not end cleanly";
  EXPECT_EQ(ProcessUsage::openDescriptors(), descriptorsAtStart);
}

}  // namespace
