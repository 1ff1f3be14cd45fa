// Request lines, reply parsing, the public destination and b32 address of a key, and key files
// in a private temporary directory, some of them made by the fake bridge.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <velqor/sam.hpp>

#include "fake_bridge.hpp"
#include "sam/wire/i2p_base64.hpp"

// The files that the library syncs, by the name each has at the time: this fsync stands in for
// the C library's in the whole test binary.
static std::vector<std::string> synced;
extern "C" int fsync(int fd) {
  std::string name(4096, '\0');
  const ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), &name[0], 4096);
  synced.push_back(name.substr(0, n > 0 ? static_cast<std::size_t>(n) : 0));
  return static_cast<int>(syscall(SYS_fsync, fd));
}

namespace {

namespace fs = std::filesystem;
using SAM::ErrorCode;
using SAM::Message;
using velqor_test::testKeyPriv;
using velqor_test::testKeyPub;

TEST(MessageTest, BuildersRefuseLineBreaksAndZeroBytes) {
  for (const std::string& bad :
       {std::string("a\rb"), std::string("a\nb"), std::string("a\0b", 3)}) {
    SCOPED_TRACE(testing::PrintToString(bad));
    const auto create = [&](int i) {
      std::vector<std::string> a = {"I", "n", "D", "o", "S"};
      a[i] = bad;
      return Message::sessionCreate(Message::STREAM, a[0], a[1], a[2], a[3], a[4]);
    };
    EXPECT_EQ(create(0) + create(1) + create(2) + create(3) + create(4), "");
    EXPECT_EQ(Message::hello(bad, "3.1") + Message::hello("3.0", bad), "");
    EXPECT_EQ(Message::streamConnect(bad, "d", false) + Message::streamConnect("I", bad, false),
              "");
    EXPECT_EQ(
        Message::streamForward(bad, "h", 1, false) + Message::streamForward("I", bad, 1, false),
        "");
    EXPECT_EQ(Message::streamAccept(bad, false) + Message::namingLookup(bad), "");
  }
}

TEST(MessageTest, GetValueReadsWholeKeysAndQuotedValues) {
  struct Case {
    std::string reply, key, expected;
  };
  const std::vector<Case> cases = {
      {"STREAM STATUS RESULT=OK\r\n", "RESULT", "OK\r"},
      {"X SESSIONID=long ID=short\n", "ID", "short"},
      {"X NAME=ID=inner\n", "ID", ""},
      {"X MESSAGE=\"Unknown STYLE\" RESULT=I2P_ERROR\n", "MESSAGE", "Unknown STYLE"},
      {"X MESSAGE=\"a ID=1 b\" ID=2\n", "ID", "2"},
      {"X MESSAGE=\"say \\\"hi\\\" \\\\\" A=1\n", "MESSAGE", "say \"hi\" \\"},
      {"X A=1\nB=2\n", "B", ""},
      {"X A=1 A=2\n", "A", "1"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Message::getValue(c.reply, c.key), c.expected) << testing::PrintToString(c.reply);
    // Every cut of the reply, an open quote or escape included, stays in range (sanitizer).
    for (std::size_t n = 0; n < c.reply.size(); ++n) Message::getValue(c.reply.substr(0, n), c.key);
  }
}

// KeyFileTest checks the b32 addresses of three keys; these are the refusals.
TEST(MessageTest, PublicDestinationAndB32AddressAreDerivedFromTheKey) {
  const std::string priv = testKeyPriv();
  std::string plusSign = priv;
  plusSign[600] = '+';  // standard base64, not I2P base64
  EXPECT_EQ(SAM::derivePublicDestination(priv), testKeyPub());
  EXPECT_EQ(SAM::derivePublicDestination(plusSign), priv.substr(0, 516));
  // Decodes, but ends inside its certificate; shorter than a certificate's header.
  EXPECT_EQ(SAM::derivePublicDestination(priv.substr(0, 520)), priv.substr(0, 516));
  EXPECT_EQ(SAM::derivePublicDestination(priv.substr(0, 100)), priv.substr(0, 100));
  // Not a multiple of four characters, or standard base64.
  for (const char* bad : {"", "abc", "ab+="}) EXPECT_EQ(SAM::b32Address(bad), "") << bad;
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

const std::string& testKeyBytes() {
  static const std::string bytes = *SAM::I2pBase64::decode(testKeyPriv());
  return bytes;
}

// Whether `reason` holds 8 consecutive characters of the test key, as base64 or as bytes.
bool leaksKey(const std::string& reason) {
  for (const std::string& key : {testKeyPriv(), testKeyBytes()}) {
    for (std::size_t i = 0; i + 8 <= key.size(); ++i) {
      if (reason.find(key.substr(i, 8)) != std::string::npos) return true;
    }
  }
  return false;
}

class KeyFileTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "velqor-keys-XXXXXX").string();
    ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  long fileCount() const { return std::distance(fs::directory_iterator(dir_), {}); }

  fs::path dir_;
};

// The test key and two key files that i2pd wrote for its tunnels, with the b32 address that
// i2pd logged for each: saved over an older file and loaded back, byte for byte.
TEST_F(KeyFileTest, SavesAndLoadsKeysOfEachKindWithMode0600) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "6cgoz5icadelaumnu666p4bg5exebyaohb4n2l42unfgvarz42uq.b32.i2p"},
      {"i2pd-dsa.dat", "dggvxznst7cddsq6fl36xdu5rvcmzaa347kfynutfuclrp723qpq.b32.i2p"},
      {"i2pd-p521.dat", "wqvfdvg3amzs3pu6ulitladfix3dwluklrc24kjs6g2tv6dhmcea.b32.i2p"},
  };
  const fs::path path = dir_ / "key.dat";
  for (const auto& [file, b32] : cases) {
    const fs::path source = fs::path(VELQOR_TEST_DATA_DIR) / file;
    SAM::FullDestination original(testKeyPub(), testKeyPriv(), true);
    ASSERT_TRUE(file.empty() || SAM::loadKeyFile(source, original).ok()) << file;
    std::ofstream(path) << "an older file";
    const mode_t oldMask = umask(0277);  // a narrow umask must not narrow the mode
    synced.clear();
    const SAM::Error saved = SAM::saveKeyFile(path, original.priv);
    umask(oldMask);
    ASSERT_TRUE(saved.ok()) << saved.reason;
    // Synced under the temporary name, so before the rename; then the directory.
    const std::string real = fs::canonical(dir_).string();
    EXPECT_TRUE(synced.size() == 2 && synced[0].rfind(real + "/key.dat.", 0) == 0 &&
                synced[1] == real);
    struct stat status {};
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    EXPECT_EQ(readFile(path), file.empty() ? testKeyBytes() : readFile(source)) << file;
    SAM::FullDestination loaded("pub", "priv", true);
    ASSERT_TRUE(SAM::loadKeyFile(path, loaded).ok());
    EXPECT_EQ(loaded.priv, original.priv);
    EXPECT_FALSE(loaded.isGenerated);
    EXPECT_EQ(SAM::b32Address(loaded.pub), b32);  // so the derived public part is whole
    EXPECT_EQ(fileCount(), 1);
  }
}

TEST_F(KeyFileTest, RefusesFilesThatHoldNoWholeDestination) {
  const std::string key = testKeyBytes();
  std::string badType = key, noSignatureType = key;
  badType[388] = 8;          // the key certificate's signature type (big-endian, 387-388)
  noSignatureType[386] = 1;  // a key certificate of one byte
  // A missing file (ENOENT) and a directory are LoadOrGenerate's and the C test's cases.
  struct Case {
    std::string name, content, reason;
  };
  const std::vector<Case> cases = {
      {"header", key.substr(0, 388), " is 388 bytes, too short for a destination"},
      {"short", key.substr(0, 678),
       " holds 678 bytes where a destination with signature type 7 has 679"},
      {"type8", badType, " has signature type 8, not supported"},
      {"nosig", noSignatureType, " has a key certificate without a signature type"},
      {"huge", std::string(70000, '\0'), " is more than 66244 bytes, too long for a destination"},
  };
  for (const Case& c : cases) {
    const fs::path path = dir_ / c.name;
    std::ofstream(path, std::ios::binary) << c.content;
    SAM::FullDestination destination("pub", "priv", true);
    const SAM::Error error = SAM::loadKeyFile(path, destination);
    EXPECT_EQ(error.code, ErrorCode::KEY_FILE);
    EXPECT_EQ(error.reason, "key file " + path.string() + c.reason);
    EXPECT_EQ(error.systemError, 0) << c.name;
    EXPECT_EQ(destination.pub + destination.priv, "pubpriv") << c.name;  // left as it was
  }
}

// Each failure leaves the file already at the target as it was, and no temporary file.
TEST_F(KeyFileTest, AFailedSaveLeavesTheOldFileAndNoTemporaryFile) {
  const std::string old = "the old key file";
  struct Case {
    std::string target, priv, reason;  // reason: how it starts
    int systemError;
    rlim_t sizeLimit;  // RLIM_INFINITY: none
  };
  const std::vector<Case> cases = {
      {"key.dat", testKeyPriv(), "cannot write " + (dir_ / "key.dat.").string(), EFBIG, 100},
      {"dir", testKeyPriv(), "cannot rename " + (dir_ / "dir.").string(), EISDIR, RLIM_INFINITY},
      {"none/key.dat", testKeyPriv(), "cannot create a temporary file", ENOENT, RLIM_INFINITY},
      {"key.dat", testKeyPriv().substr(0, 907) + "+",
       "cannot save " + (dir_ / "key.dat").string() + ": the key is not I2P base64", 0,
       RLIM_INFINITY},
  };
  std::ofstream(dir_ / "key.dat") << old;
  fs::create_directory(dir_ / "dir");
  rlimit unlimited{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &unlimited), 0);
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);  // a failed write, not a dead process
  for (const Case& c : cases) {
    rlimit limit = unlimited;
    limit.rlim_cur = c.sizeLimit;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    const SAM::Error error = SAM::saveKeyFile(dir_ / c.target, c.priv);
    setrlimit(RLIMIT_FSIZE, &unlimited);
    EXPECT_EQ(error.code, ErrorCode::KEY_FILE);
    EXPECT_EQ(error.reason.substr(0, c.reason.size()), c.reason);
    EXPECT_EQ(error.systemError, c.systemError) << error.reason;
    EXPECT_FALSE(leaksKey(error.reason)) << error.reason;
    EXPECT_EQ(readFile(dir_ / "key.dat"), old);
    EXPECT_EQ(fileCount(), 2) << error.reason;  // key.dat and dir
  }
  std::signal(SIGXFSZ, oldHandler);
}

// A key file is made only where there is none: a bridge that fails makes nothing, and a file
// made meanwhile wins over the new key.
TEST_F(KeyFileTest, LoadOrGenerateMakesAKeyOnlyWhereThereIsNone) {
  SAM::FullDestination other;
  ASSERT_TRUE(SAM::loadKeyFile(VELQOR_TEST_DATA_DIR "/i2pd-p521.dat", other).ok());
  struct Case {
    std::string reply;  // to DEST GENERATE; "": the bridge closes the connection
    bool meanwhile;     // the bridge saves the test key at the path before it answers
    ErrorCode code;
  };
  const std::vector<Case> cases = {
      {"DEST REPLY PUB=" + testKeyPub() + " PRIV=" + testKeyPriv() + "\n", false, ErrorCode::NONE},
      {"", false, ErrorCode::CLOSED},
      {"DEST REPLY RESULT=OK PUB=" + testKeyPub() + "\n", false, ErrorCode::PROTOCOL},  // no PRIV
      {"DEST REPLY PUB=x PRIV=" + other.priv + "\n", true, ErrorCode::NONE},
  };
  const std::string path = dir_ / "site.dat";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    velqor_test::FakeBridge bridge;
    bridge.on("DEST GENERATE", [&](velqor_test::BridgeConnection& conn, const std::string&) {
      if (c.meanwhile) SAM::saveKeyFile(path, testKeyPriv());
      if (c.reply.empty()) return conn.close();
      conn.send(c.reply);
    });
    SAM::FullDestination made, loaded;
    const SAM::Error error = SAM::loadOrGenerateKeyFile(path, "127.0.0.1", bridge.port(), made);
    EXPECT_EQ(error.code, c.code) << error.reason;
    EXPECT_EQ(made.priv, error.ok() ? testKeyPriv() : "");
    // Once made, the file is loaded: no bridge (port 1) is needed.
    EXPECT_EQ(SAM::loadOrGenerateKeyFile(path, "127.0.0.1", 1, loaded).ok(), error.ok());
    EXPECT_EQ(loaded.priv, made.priv);
    fs::remove(path);
  }
}

}  // namespace
