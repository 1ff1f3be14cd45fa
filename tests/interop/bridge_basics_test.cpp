// Handshake, destinations and naming against the real bridge.
#include <gtest/gtest.h>
#include <velqor/sam.hpp>

#include "fake_bridge.hpp"  // testKeyPriv(), testKeyPub()
#include "interop_environment.hpp"

namespace velqor_interop {
namespace {

TEST(BridgeBasics, HandshakeSettlesOnVersion31) {
  SAM::I2pSocket socket(interop().router().samHost(), interop().router().samPort());
  EXPECT_TRUE(socket.isOk());
  EXPECT_EQ(socket.getVersion(), "3.1");
  EXPECT_EQ(interop().client().getSAMVersion(), "3.1");
}

TEST(BridgeBasics, GeneratedPublicDestinationIsTheOneDerivedFromThePrivate) {
  SAM::StreamSession& session = interop().client();
  const auto generated = session.destGenerate();
  ASSERT_TRUE(generated.isOk);
  EXPECT_TRUE(generated.value.isGenerated);
  EXPECT_EQ(SAM::derivePublicDestination(generated.value.priv), generated.value.pub);
  EXPECT_NE(generated.value.pub, session.getMyDestination().pub);
  EXPECT_FALSE(session.isSick());
}

TEST(BridgeBasics, SessionsKnowTheirOwnPublicDestination) {
  const SAM::FullDestination& fixed = interop().fixedServer().getMyDestination();
  EXPECT_EQ(fixed.priv, velqor_test::testKeyPriv());
  EXPECT_EQ(fixed.pub, velqor_test::testKeyPub());
  EXPECT_FALSE(fixed.isGenerated);

  const SAM::FullDestination& transient = interop().transientServer().getMyDestination();
  EXPECT_TRUE(transient.isGenerated);
  EXPECT_EQ(transient.pub.size(), 524u);  // the bridge made an EdDSA key, as asked
  EXPECT_EQ(transient.pub, SAM::derivePublicDestination(transient.priv));
}

TEST(BridgeBasics, RefusedPrivateDestinationLeavesTheSessionSick) {
  // The bridge answers these at once with INVALID_KEY.
  for (const std::string& key :
       {std::string("notakey"), velqor_test::testKeyPriv().substr(0, 600)}) {
    SAM::StreamSession session("interop-refused", interop().router().samHost(),
                               interop().router().samPort(), key, kZeroHopOptions);
    EXPECT_TRUE(session.isSick()) << key;
    EXPECT_EQ(session.getMyDestination().priv, "");
  }
}

TEST(BridgeBasics, NamingLookupResolvesAddressBookNamesOnly) {
  SAM::StreamSession& session = interop().client();
  const auto unknown = session.namingLookup("nobody-here.i2p");
  EXPECT_FALSE(unknown.isOk);
  EXPECT_EQ(unknown.value, "");
  EXPECT_FALSE(session.isSick()) << "an unknown name is no fault of the session";

  const auto known = session.namingLookup(InteropEnvironment::kSiteName);
  ASSERT_TRUE(known.isOk);
  EXPECT_EQ(known.value, velqor_test::testKeyPub());
}

}  // namespace
}  // namespace velqor_interop
