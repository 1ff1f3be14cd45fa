// Many requests of every kind, succeeding and failing, must give back every descriptor.
#include <dirent.h>

#include <gtest/gtest.h>

#include <string>

#include <velqor/sam.hpp>

#include "fake_bridge.hpp"

namespace {

using velqor_test::BridgeConnection;
using velqor_test::FakeBridge;

// The number of descriptors open in this process, not counting the one used to list them.
int openDescriptorCount() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count - 1;
}

// Answers requests of `prefix` in turn with `ok`, with `refusal`, or by closing at once.
void answerInTurn(FakeBridge& bridge, const std::string& prefix, const std::string& ok,
                  const std::string& refusal) {
  bridge.on(prefix, [ok, refusal](BridgeConnection& c, const std::string&) {
    switch (c.id() % 3) {
      case 0:
        c.send(ok);
        break;
      case 1:
        c.send(refusal);
        break;
      default:
        c.close();
    }
  });
}

TEST(DescriptorLeakTest, RequestsGiveBackEveryDescriptor) {
  const int before = openDescriptorCount();
  ASSERT_GT(before, 0);
  {
    FakeBridge bridge;
    const std::string pub = velqor_test::testKeyPub();
    const std::string priv = velqor_test::testKeyPriv();
    answerInTurn(bridge, "STREAM ACCEPT", "STREAM STATUS RESULT=OK\n",
                 "STREAM STATUS RESULT=I2P_ERROR\n");
    answerInTurn(bridge, "STREAM CONNECT", "STREAM STATUS RESULT=OK\n",
                 "STREAM STATUS RESULT=CANT_REACH_PEER\n");
    answerInTurn(bridge, "STREAM FORWARD", "STREAM STATUS RESULT=OK\n",
                 "STREAM STATUS RESULT=INVALID_ID\n");
    answerInTurn(bridge, "NAMING LOOKUP", "NAMING REPLY RESULT=OK NAME=a VALUE=" + pub + "\n",
                 "NAMING REPLY RESULT=KEY_NOT_FOUND NAME=a\n");
    answerInTurn(bridge, "DEST GENERATE", "DEST REPLY PUB=" + pub + " PRIV=" + priv + "\n",
                 "DEST REPLY RESULT=I2P_ERROR\n");

    SAM::StreamSession session("leak", "127.0.0.1", bridge.port());
    int succeeded = 0;
    for (int i = 0; i < 1000; ++i) {
      succeeded += session.accept(true).isOk;
      succeeded += session.connect("peer", false).isOk;
      succeeded += session.namingLookup("a").isOk;
      succeeded += session.destGenerate().isOk;
      if (session.forward("127.0.0.1", 9000, true).isOk) {
        ++succeeded;
        session.stopForwarding("127.0.0.1", 9000);
      }
      // Refused before anything is sent.
      succeeded += session.namingLookup("bad\nname").isOk;
    }
    // The bridge's answers rotate over all connections, so every kind both succeeds and fails.
    EXPECT_GT(succeeded, 1000);
    EXPECT_LT(succeeded, 4000);
    EXPECT_EQ(bridge.connectionCount(), 5001);
  }
  // The bridge has closed its own ends; whatever is still open belongs to the library.
  EXPECT_EQ(openDescriptorCount(), before);
}

}  // namespace
