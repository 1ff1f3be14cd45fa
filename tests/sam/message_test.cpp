// Request lines, reply classification and value extraction, and the derivation of a public
// destination from a private one. No network.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <velqor/sam.hpp>

#include "fake_bridge.hpp"

namespace {

using SAM::Message;

std::string bytesOf(const char* bytes, std::size_t size) { return std::string(bytes, size); }

TEST(MessageTest, BuildersWriteEachLineExactly) {
  struct Case {
    const char* what;
    std::string line;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"hello", Message::hello("3.0", "3.1"), "HELLO VERSION MIN=3.0 MAX=3.1\n"},
      // Parameters: style, id, nickname, destination, options, signature type.
      {"session create",
       Message::sessionCreate(Message::STREAM, "ABCDE", "nick", "TRANSIENT",
                              "inbound.length=0 outbound.length=0", "SIGX"),
       "SESSION CREATE STYLE=STREAM ID=ABCDE DESTINATION=TRANSIENT SIGNATURE_TYPE=SIGX "
       "inbound.nickname=nick inbound.length=0 outbound.length=0\n"},
      {"datagram, empty options",
       Message::sessionCreate(Message::DATAGRAM, "ID1", "n", "D", "", "S"),
       "SESSION CREATE STYLE=DATAGRAM ID=ID1 DESTINATION=D SIGNATURE_TYPE=S inbound.nickname=n \n"},
      {"raw", Message::sessionCreate(Message::RAW, "I", "a b", "D", "o", "S"),
       "SESSION CREATE STYLE=RAW ID=I DESTINATION=D SIGNATURE_TYPE=S inbound.nickname=a b o\n"},
      {"accept silent", Message::streamAccept("XYZ", true), "STREAM ACCEPT ID=XYZ SILENT=true\n"},
      {"accept", Message::streamAccept("XYZ", false), "STREAM ACCEPT ID=XYZ SILENT=false\n"},
      {"connect", Message::streamConnect("XYZ", "dest.i2p", false),
       "STREAM CONNECT ID=XYZ DESTINATION=dest.i2p SILENT=false\n"},
      {"connect silent", Message::streamConnect("XYZ", "d", true),
       "STREAM CONNECT ID=XYZ DESTINATION=d SILENT=true\n"},
      // Parameters: id, host, port; the line has PORT before HOST.
      {"forward port 0", Message::streamForward("XYZ", "127.0.0.1", 0, false),
       "STREAM FORWARD ID=XYZ PORT=0 HOST=127.0.0.1 SILENT=false\n"},
      {"forward port 65535", Message::streamForward("XYZ", "10.1.2.3", 65535, true),
       "STREAM FORWARD ID=XYZ PORT=65535 HOST=10.1.2.3 SILENT=true\n"},
      {"lookup", Message::namingLookup("site.i2p"), "NAMING LOOKUP NAME=site.i2p\n"},
      {"percent stays", Message::namingLookup("%s%n%d"), "NAMING LOOKUP NAME=%s%n%d\n"},
      {"generate", Message::destGenerate(), "DEST GENERATE\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.line, c.expected) << c.what;
}

TEST(MessageTest, LongLinesAreFormattedWhole) {
  const std::string priv = velqor_test::testKeyPriv();
  const std::string options(5000, 'o');
  const std::string line =
      Message::sessionCreate(Message::STREAM, "ID", "nick", priv, options, "EdDSA_SHA512_Ed25519");
  EXPECT_EQ(line, "SESSION CREATE STYLE=STREAM ID=ID DESTINATION=" + priv +
                      " SIGNATURE_TYPE=EdDSA_SHA512_Ed25519 inbound.nickname=nick " + options +
                      "\n");

  const std::string dest(100000, 'd');
  EXPECT_EQ(Message::streamConnect("ID", dest, true),
            "STREAM CONNECT ID=ID DESTINATION=" + dest + " SILENT=true\n");

  const std::string text(4096, 'x');
  EXPECT_EQ(Message::createSAMRequest("%s|%d\n", text.c_str(), 42), text + "|42\n");
}

TEST(MessageTest, BuildersRefuseLineBreaksAndZeroBytes) {
  const std::vector<std::string> bad = {"a\rb", "a\nb", bytesOf("a\0b", 3),
                                        "\n",   "\r",   bytesOf("\0", 1)};
  for (const auto& b : bad) {
    SCOPED_TRACE(testing::PrintToString(b));
    EXPECT_EQ(Message::hello(b, "3.1"), "");
    EXPECT_EQ(Message::hello("3.0", b), "");
    EXPECT_EQ(Message::sessionCreate(Message::STREAM, b, "n", "D", "o", "S"), "");
    EXPECT_EQ(Message::sessionCreate(Message::STREAM, "I", b, "D", "o", "S"), "");
    EXPECT_EQ(Message::sessionCreate(Message::STREAM, "I", "n", b, "o", "S"), "");
    EXPECT_EQ(Message::sessionCreate(Message::STREAM, "I", "n", "D", b, "S"), "");
    EXPECT_EQ(Message::sessionCreate(Message::STREAM, "I", "n", "D", "o", b), "");
    EXPECT_EQ(Message::streamAccept(b, false), "");
    EXPECT_EQ(Message::streamConnect(b, "d", false), "");
    EXPECT_EQ(Message::streamConnect("I", b, false), "");
    EXPECT_EQ(Message::streamForward(b, "h", 1, false), "");
    EXPECT_EQ(Message::streamForward("I", b, 1, false), "");
    EXPECT_EQ(Message::namingLookup(b), "");
  }
  // Spaces and other characters are not refused: option texts depend on them.
  EXPECT_EQ(Message::namingLookup("a b\t=c"), "NAMING LOOKUP NAME=a b\t=c\n");
}

TEST(MessageTest, CheckAnswerClassifiesEveryStatus) {
  static_assert(Message::OK == 0 && Message::NO_ANSWER == 1 && Message::SOCKET_NOT_OK == 2 &&
                    Message::UNEXPECTED_RESULT == 3 && Message::DUPLICATED_DEST == 4 &&
                    Message::INVALID_ID == 7 && Message::ALREADY_ACCEPTING == 14,
                "status numbers are part of the interface");
  struct Case {
    std::string reply;
    Message::eStatus expected;
  };
  const std::vector<Case> cases = {
      {"HELLO REPLY RESULT=OK VERSION=3.1\n", Message::OK},
      {"", Message::NO_ANSWER},
      {"STREAM STATUS RESULT=SOCKET_NOT_OK\n", Message::UNEXPECTED_RESULT},
      {"STREAM STATUS RESULT=NO_ANSWER\n", Message::UNEXPECTED_RESULT},
      {"\n", Message::UNEXPECTED_RESULT},
      {"STREAM STATUS\n", Message::UNEXPECTED_RESULT},
      {"STREAM STATUS RESULT=\n", Message::UNEXPECTED_RESULT},
      {"STREAM STATUS RESULT=ok\n", Message::UNEXPECTED_RESULT},
      {"STREAM STATUS RESULT=OK\r\n", Message::UNEXPECTED_RESULT},
      {"STREAM STATUS RESULT=OKAY\n", Message::UNEXPECTED_RESULT},
      {"SESSION STATUS RESULT=DUPLICATED_DEST\n", Message::DUPLICATED_DEST},
      {"SESSION STATUS RESULT=DUPLICATED_ID\n", Message::DUPLICATED_ID},
      {"STREAM STATUS RESULT=I2P_ERROR MESSAGE=\"a RESULT=OK b\"\n", Message::I2P_ERROR},
      {"STREAM STATUS RESULT=INVALID_ID\n", Message::INVALID_ID},
      {"STREAM STATUS RESULT=INVALID_KEY\n", Message::INVALID_KEY},
      {"STREAM STATUS RESULT=CANT_REACH_PEER\n", Message::CANT_REACH_PEER},
      {"STREAM STATUS RESULT=TIMEOUT\n", Message::TIMEOUT},
      {"HELLO REPLY RESULT=NOVERSION\n", Message::NOVERSION},
      {"NAMING REPLY RESULT=KEY_NOT_FOUND NAME=x\n", Message::KEY_NOT_FOUND},
      {"STREAM STATUS RESULT=PEER_NOT_FOUND\n", Message::PEER_NOT_FOUND},
      {"STREAM STATUS RESULT=ALREADY_ACCEPTING\n", Message::ALREADY_ACCEPTING},
      {"NAMING REPLY NAME=a VALUE=b RESULT=KEY_NOT_FOUND\n", Message::KEY_NOT_FOUND},
      {"X MYRESULT=OK\n", Message::UNEXPECTED_RESULT},
      {"X MESSAGE=\"RESULT=OK\"\n", Message::UNEXPECTED_RESULT},
      {"X A=1\nRESULT=OK\n", Message::UNEXPECTED_RESULT},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Message::checkAnswer(c.reply), c.expected) << testing::PrintToString(c.reply);
  }
}

TEST(MessageTest, GetValueReadsWholeKeysAndQuotedValues) {
  struct Case {
    std::string reply;
    std::string key;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"HELLO REPLY RESULT=OK VERSION=3.1\n", "VERSION", "3.1"},
      {"HELLO REPLY RESULT=OK VERSION=3.1", "VERSION", "3.1"},
      {"RESULT=OK MORE=1\n", "RESULT", "OK"},
      {"STREAM STATUS RESULT=OK\r\n", "RESULT", "OK\r"},
      {"A=1 B= C=3\n", "B", ""},
      {"A=1\n", "Z", ""},
      {"=x A=1\n", "", ""},
      // Whole keys: never the tail of a longer key, never inside a value.
      {"X SESSIONID=long ID=short\n", "ID", "short"},
      {"X SESSIONID=long\n", "ID", ""},
      {"X NAME=ID=inner ID=outer\n", "ID", "outer"},
      {"X MESSAGE=\"Unknown STYLE\" RESULT=I2P_ERROR\n", "MESSAGE", "Unknown STYLE"},
      {"X MESSAGE=\"a ID=1 b\" ID=2\n", "ID", "2"},
      {"X MESSAGE=\"a ID=1 b\"\n", "ID", ""},
      {"X MESSAGE=\"say \\\"hi\\\" \\\\ end\" A=1\n", "MESSAGE", "say \"hi\" \\ end"},
      {"X MESSAGE=\"\" A=1\n", "MESSAGE", ""},
      {"X MESSAGE=\"\\\" ID=1\" ID=2\n", "ID", "2"},
      // Only the first line counts; the first occurrence wins.
      {"X A=1\nB=2\n", "B", ""},
      {"X A=1\nA=2\n", "A", "1"},
      {"X A=1 A=2\n", "A", "1"},
      {"X A=1\n2 B=3", "A", "1"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Message::getValue(c.reply, c.key), c.expected)
        << testing::PrintToString(c.reply) << " key " << c.key;
  }
}

TEST(MessageTest, GetValueSurvivesEveryTruncationOfAReply) {
  // A reply cut anywhere (an unterminated quote or escape included) must not be read past
  // its end; run under the address sanitizer this catches out-of-range reads.
  const std::string reply = "X MESSAGE=\"a \\\"ID=1\\\\\" ID=2 RESULT=OK\n";
  for (std::size_t n = 0; n <= reply.size(); ++n) {
    const std::string cut = reply.substr(0, n);
    const std::string id = Message::getValue(cut, "ID");
    EXPECT_TRUE(id.empty() || id == "2") << testing::PrintToString(cut);
    Message::getValue(cut, "MESSAGE");
    Message::checkAnswer(cut);
  }
}

// I2P base64: the standard alphabet with "-" and "~" in place of "+" and "/".
std::string encodeI2pBase64(const std::string& bytes) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-~";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    unsigned n = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) n |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) n |= static_cast<unsigned char>(bytes[i + 2]);
    out += alphabet[(n >> 18) & 63];
    out += alphabet[(n >> 12) & 63];
    out += i + 1 < bytes.size() ? alphabet[(n >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? alphabet[n & 63] : '=';
  }
  return out;
}

// Key material of `size` bytes whose certificate length field (offsets 385-386) holds `cert`.
std::string keyBytes(std::size_t size, unsigned cert) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + 3);
  bytes[385] = static_cast<char>(cert >> 8);
  bytes[386] = static_cast<char>(cert & 0xff);
  return bytes;
}

TEST(DerivePublicDestinationTest, RealEdDsaKeyGivesItsPublicDestination) {
  const std::string pub = SAM::derivePublicDestination(velqor_test::testKeyPriv());
  EXPECT_EQ(pub.size(), 524u);
  EXPECT_EQ(pub, velqor_test::testKeyPub());
  // The text prefix of the private key is not the public destination.
  EXPECT_NE(pub, velqor_test::testKeyPriv().substr(0, 524));
}

TEST(DerivePublicDestinationTest, KeepsTheCertificateItDeclares) {
  struct Case {
    std::size_t size;
    unsigned cert;
  };
  for (const Case c : {Case{663, 0}, Case{679, 4}, Case{700, 7}, Case{391, 4}, Case{387, 0}}) {
    const std::string bytes = keyBytes(c.size, c.cert);
    EXPECT_EQ(SAM::derivePublicDestination(encodeI2pBase64(bytes)),
              encodeI2pBase64(bytes.substr(0, 387 + c.cert)))
        << c.size << " bytes, certificate " << c.cert;
  }
}

TEST(DerivePublicDestinationTest, FallsBackToTheFirst516Characters) {
  const std::string priv = velqor_test::testKeyPriv();
  std::string plusSign = priv;
  plusSign[600] = '+';  // standard base64, not I2P base64
  std::string slash = priv;
  slash[10] = '/';
  const std::string tooShort = encodeI2pBase64(keyBytes(679, 4).substr(0, 390));
  const std::string certTooLong = encodeI2pBase64(keyBytes(679, 400));
  const std::string shortText = priv.substr(0, 100);

  EXPECT_EQ(SAM::derivePublicDestination(plusSign), priv.substr(0, 516));
  EXPECT_EQ(SAM::derivePublicDestination(slash), slash.substr(0, 516));
  EXPECT_EQ(SAM::derivePublicDestination(tooShort), tooShort.substr(0, 516));
  EXPECT_EQ(SAM::derivePublicDestination(certTooLong), certTooLong.substr(0, 516));
  EXPECT_EQ(SAM::derivePublicDestination(shortText), shortText);
  EXPECT_EQ(SAM::derivePublicDestination(""), "");
}

}  // namespace
