// Request lines, reply parsing, the public destination of a private one and the b32 address
// of a public one. No network.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <velqor/sam.hpp>

#include "fake_bridge.hpp"

namespace {

using SAM::Message;
using velqor_test::testKeyPriv;
using velqor_test::testKeyPub;

TEST(MessageTest, BuildersWriteEachLineExactly) {
  const std::string longText(5000, 'o');
  const std::vector<std::pair<std::string, std::string>> cases = {
      {Message::hello("3.0", "3.1"), "HELLO VERSION MIN=3.0 MAX=3.1\n"},
      // Parameters: style, id, nickname, destination, options, signature type.
      {Message::sessionCreate(Message::STREAM, "ABCDE", "nick", "TRANSIENT", "a=1 b=2", "SIGX"),
       "SESSION CREATE STYLE=STREAM ID=ABCDE DESTINATION=TRANSIENT SIGNATURE_TYPE=SIGX "
       "inbound.nickname=nick a=1 b=2\n"},
      {Message::sessionCreate(Message::DATAGRAM, "I", "n", "D", "", "S"),
       "SESSION CREATE STYLE=DATAGRAM ID=I DESTINATION=D SIGNATURE_TYPE=S inbound.nickname=n \n"},
      {Message::sessionCreate(Message::RAW, "I", "n", testKeyPriv(), longText, "S"),
       "SESSION CREATE STYLE=RAW ID=I DESTINATION=" + testKeyPriv() +
           " SIGNATURE_TYPE=S inbound.nickname=n " + longText + "\n"},
      {Message::createSAMRequest("%s|%d\n", longText.c_str(), 42), longText + "|42\n"},
      {Message::streamAccept("XYZ", true), "STREAM ACCEPT ID=XYZ SILENT=true\n"},
      {Message::streamAccept("XYZ", false), "STREAM ACCEPT ID=XYZ SILENT=false\n"},
      {Message::streamConnect("XYZ", "dest.i2p", false),
       "STREAM CONNECT ID=XYZ DESTINATION=dest.i2p SILENT=false\n"},
      // Parameters: id, host, port; the line has PORT before HOST.
      {Message::streamForward("XYZ", "10.1.2.3", 65535, true),
       "STREAM FORWARD ID=XYZ PORT=65535 HOST=10.1.2.3 SILENT=true\n"},
      // Format directives and spaces in an argument are written as they stand.
      {Message::namingLookup("%s%n a\t=c"), "NAMING LOOKUP NAME=%s%n a\t=c\n"},
      {Message::destGenerate(), "DEST GENERATE\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.first, c.second);
}

TEST(MessageTest, BuildersRefuseLineBreaksAndZeroBytes) {
  for (const std::string& bad :
       {std::string("a\rb"), std::string("a\nb"), std::string("a\0b", 3)}) {
    SCOPED_TRACE(testing::PrintToString(bad));
    EXPECT_EQ(Message::hello(bad, "3.1"), "");
    EXPECT_EQ(Message::hello("3.0", bad), "");
    EXPECT_EQ(Message::sessionCreate(Message::STREAM, bad, "n", "D", "o", "S"), "");
    EXPECT_EQ(Message::sessionCreate(Message::STREAM, "I", bad, "D", "o", "S"), "");
    EXPECT_EQ(Message::sessionCreate(Message::STREAM, "I", "n", bad, "o", "S"), "");
    EXPECT_EQ(Message::sessionCreate(Message::STREAM, "I", "n", "D", bad, "S"), "");
    EXPECT_EQ(Message::sessionCreate(Message::STREAM, "I", "n", "D", "o", bad), "");
    EXPECT_EQ(Message::streamAccept(bad, false), "");
    EXPECT_EQ(Message::streamConnect(bad, "d", false), "");
    EXPECT_EQ(Message::streamConnect("I", bad, false), "");
    EXPECT_EQ(Message::streamForward(bad, "h", 1, false), "");
    EXPECT_EQ(Message::streamForward("I", bad, 1, false), "");
    EXPECT_EQ(Message::namingLookup(bad), "");
  }
}

TEST(MessageTest, CheckAnswerClassifiesEveryStatus) {
  const std::vector<std::pair<std::string, Message::eStatus>> cases = {
      {"HELLO REPLY RESULT=OK VERSION=3.1\n", Message::OK},
      {"", Message::NO_ANSWER},
      {"X RESULT=SOCKET_NOT_OK\n", Message::UNEXPECTED_RESULT},
      {"STREAM STATUS\n", Message::UNEXPECTED_RESULT},
      {"X RESULT=ok\n", Message::UNEXPECTED_RESULT},
      {"X RESULT=OK\r\n", Message::UNEXPECTED_RESULT},
      {"X RESULT=OKAY\n", Message::UNEXPECTED_RESULT},
      {"X RESULT=DUPLICATED_DEST\n", Message::DUPLICATED_DEST},
      {"X RESULT=DUPLICATED_ID\n", Message::DUPLICATED_ID},
      {"X RESULT=I2P_ERROR MESSAGE=\"a RESULT=OK b\"\n", Message::I2P_ERROR},
      {"X RESULT=INVALID_ID\n", Message::INVALID_ID},
      {"X RESULT=INVALID_KEY\n", Message::INVALID_KEY},
      {"X RESULT=CANT_REACH_PEER\n", Message::CANT_REACH_PEER},
      {"X RESULT=TIMEOUT\n", Message::TIMEOUT},
      {"X RESULT=NOVERSION\n", Message::NOVERSION},
      {"X RESULT=KEY_NOT_FOUND NAME=x\n", Message::KEY_NOT_FOUND},
      {"X RESULT=PEER_NOT_FOUND\n", Message::PEER_NOT_FOUND},
      {"X RESULT=ALREADY_ACCEPTING\n", Message::ALREADY_ACCEPTING},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Message::checkAnswer(c.first), c.second) << testing::PrintToString(c.first);
  }
}

TEST(MessageTest, GetValueReadsWholeKeysAndQuotedValues) {
  struct Case {
    std::string reply, key, expected;
  };
  const std::vector<Case> cases = {
      {"HELLO REPLY RESULT=OK VERSION=3.1\n", "VERSION", "3.1"},
      {"STREAM STATUS RESULT=OK\r\n", "RESULT", "OK\r"},
      {"=x A=1\n", "", ""},
      {"X SESSIONID=long ID=short\n", "ID", "short"},
      {"X SESSIONID=long\n", "ID", ""},
      {"X NAME=ID=inner ID=outer\n", "ID", "outer"},
      {"X MESSAGE=\"Unknown STYLE\" RESULT=I2P_ERROR\n", "MESSAGE", "Unknown STYLE"},
      {"X MESSAGE=\"a ID=1 b\" ID=2\n", "ID", "2"},
      {"X MESSAGE=\"say \\\"hi\\\" \\\\\" A=1\n", "MESSAGE", "say \"hi\" \\"},
      {"X MESSAGE=\"\\\" ID=1\" ID=2\n", "ID", "2"},
      {"X A=1\nB=2\n", "B", ""},
      {"X A=1 A=2\n", "A", "1"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Message::getValue(c.reply, c.key), c.expected) << testing::PrintToString(c.reply);
    // Every cut of the reply, an open quote or escape included, stays in range (sanitizer).
    for (std::size_t n = 0; n < c.reply.size(); ++n) Message::getValue(c.reply.substr(0, n), c.key);
  }
}

TEST(MessageTest, PublicDestinationIsDerivedFromThePrivateOne) {
  const std::string priv = testKeyPriv();
  std::string plusSign = priv;
  plusSign[600] = '+';  // standard base64, not I2P base64
  const std::vector<std::pair<std::string, std::string>> cases = {
      {priv, testKeyPub()},
      {plusSign, priv.substr(0, 516)},
      {priv.substr(0, 520), priv.substr(0, 516)},  // decodes, but ends inside its certificate
      {priv.substr(0, 100), priv.substr(0, 100)},  // shorter than a certificate header
  };
  ASSERT_EQ(testKeyPub().size(), 524u);
  for (const auto& c : cases) EXPECT_EQ(SAM::derivePublicDestination(c.first), c.second);
}

TEST(MessageTest, B32AddressIsTheOneI2pdAnswersTo) {
  // The test key's address: i2pd 2.45.1 resolved NAMING LOOKUP of it to testKeyPub() while a
  // session held the key, and named it when loading the key file as a tunnel key.
  const std::vector<std::pair<std::string, std::string>> cases = {
      {testKeyPub(), "6cgoz5icadelaumnu666p4bg5exebyaohb4n2l42unfgvarz42uq.b32.i2p"},
      {"", ""},
      {"abc", ""},   // not a multiple of four characters
      {"ab+=", ""},  // standard base64, not I2P base64
  };
  for (const auto& c : cases) EXPECT_EQ(SAM::b32Address(c.first), c.second) << c.first;
}

}  // namespace
