// Key files: files that i2pd wrote, round trips, refused files with their reasons, and saves
// that fail part way. Files live in a private temporary directory.
#include <sys/resource.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <velqor/destination.hpp>

#include "fake_bridge.hpp"
#include "sam/i2p_base64.hpp"

namespace {

namespace fs = std::filesystem;
using velqor_test::testKeyPriv;
using velqor_test::testKeyPub;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
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
    if (!file.empty()) {
      ASSERT_TRUE(SAM::loadKeyFile(source, original).ok()) << file;
    }
    writeFile(path, "an older file");
    const mode_t oldMask = umask(0277);  // a narrow umask must not narrow the mode
    const SAM::Error saved = SAM::saveKeyFile(path, original.priv);
    umask(oldMask);
    ASSERT_TRUE(saved.ok()) << saved.reason;
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
  struct Case {
    std::string name, content, reason;  // name "missing": no file; "dir": a directory
    int systemError;
  };
  const std::vector<Case> cases = {
      {"missing", "", ": No such file or directory", ENOENT},
      {"dir", "", " is not a regular file", 0},
      {"header", key.substr(0, 388), " is 388 bytes, too short for a destination", 0},
      {"short", key.substr(0, 678),
       " holds 678 bytes where a destination with signature type 7 has 679", 0},
      {"long", key + "x", " holds 680 bytes where a destination with signature type 7 has 679", 0},
      {"base64", testKeyPriv(),
       " holds 908 bytes where a destination with signature type 0 has 20969", 0},
      {"type8", badType, " has signature type 8, not supported", 0},
      {"nosig", noSignatureType, " has a key certificate without a signature type", 0},
      {"huge", std::string(70000, '\0'), " is more than 66244 bytes, too long for a destination",
       0},
  };
  for (const Case& c : cases) {
    const fs::path path = dir_ / c.name;
    if (c.name == "dir") fs::create_directory(path);
    if (c.name != "dir" && c.name != "missing") writeFile(path, c.content);
    SAM::FullDestination destination("pub", "priv", true);
    const SAM::Error error = SAM::loadKeyFile(path, destination);
    const std::string prefix = c.name == "missing" ? "cannot open key file " : "key file ";
    EXPECT_EQ(error.code, SAM::ErrorCode::KEY_FILE);
    EXPECT_EQ(error.reason, prefix + path.string() + c.reason);
    EXPECT_EQ(error.systemError, c.systemError) << c.name;
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
      {"key.dat", testKeyPriv().substr(0, 904),
       "cannot save " + (dir_ / "key.dat").string() +
           ": the key holds 678 bytes where a destination with signature type 7 has 679",
       0, RLIM_INFINITY},
      {"key.dat", testKeyPriv().substr(0, 907) + "+",
       "cannot save " + (dir_ / "key.dat").string() + ": the key is not I2P base64", 0,
       RLIM_INFINITY},
  };
  writeFile(dir_ / "key.dat", old);
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
    EXPECT_EQ(error.code, SAM::ErrorCode::KEY_FILE);
    EXPECT_EQ(error.reason.substr(0, c.reason.size()), c.reason);
    EXPECT_EQ(error.systemError, c.systemError) << error.reason;
    EXPECT_FALSE(leaksKey(error.reason)) << error.reason;
    EXPECT_EQ(readFile(dir_ / "key.dat"), old);
    EXPECT_EQ(fileCount(), 2) << error.reason;  // key.dat and dir
  }
  std::signal(SIGXFSZ, oldHandler);
}

}  // namespace
