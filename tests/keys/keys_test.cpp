// velqor-keys's commands, run in order on one directory against the fake bridge: each row is a
// command line with what it must print and leave on disk.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <velqor/key_file.hpp>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fake_bridge.hpp"
#include "velqor_keys.hpp"

namespace {

namespace fs = std::filesystem;

std::string bytesOf(const fs::path& path) {
  std::ostringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
}

TEST(VelqorKeys, MakesShowsAndConvertsKeyFiles) {
  velqor_test::FakeBridge bridge;
  const std::string &pub = velqor_test::testKeyPub(), &priv = velqor_test::testKeyPriv();
  bridge.on("DEST GENERATE", "DEST REPLY PUB=" + pub + " PRIV=" + priv + "\n");
  uint16_t refusing = 0, silent = 0;  // a port that refuses, one that takes but never answers
  const int refusingFd = velqor_test::loopbackSocket(refusing, -1);
  const int silentFd = velqor_test::loopbackSocket(silent, 4);
  char name[] = "/tmp/velqor-keys-XXXXXX";
  ASSERT_NE(::mkdtemp(name), nullptr);
  const fs::path dir = name;
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  const std::string sam = "--sam=127.0.0.1:" + std::to_string(bridge.port());
  const std::string shown =
      "PUBLIC=" + pub + "\nB32=6cgoz5icadelaumnu666p4bg5exebyaohb4n2l42unfgvarz42uq.b32.i2p\n";
  const std::string k = (dir / "k.dat").string(), copy = (dir / "copy.dat").string();
  const struct {
    std::vector<std::string> arguments;
    std::string in;
    int status;
    std::string out, err;  // exactly, and a part of
  } rows[] = {
      {{"new", k, sam}, "", 0, shown, ""},
      {{"new", k, sam}, "", 1, "", "k.dat exists already"},
      {{"show", k}, "", 0, shown, ""},
      {{"to-base64", k}, "", 0, priv + "\n", ""},
      {{"from-base64", "-", copy}, priv + "\n", 0, "", ""},
      {{"show", copy}, "", 0, shown, ""},
      {{"from-base64", priv, copy}, "", 1, "", "copy.dat exists already"},
      {{"from-base64", "AAAA", (dir / "short.dat").string()}, "", 1, "", "is 3 bytes"},
      {{"show", (dir / "none.dat").string()}, "", 1, "", "none.dat"},
      {{"show", (dir / "fifo").string()}, "", 1, "", "fifo is not a regular file"},  // no wait
      {{"new", (dir / "n.dat").string(), "--sam=127.0.0.1:" + std::to_string(refusing)},
       "",
       1,
       "",
       "Connection refused"},
      {{"new", (dir / "n.dat").string(), "--sam=127.0.0.1:" + std::to_string(silent),
        "--timeout=0.2"},
       "",
       1,
       "",
       "within 200 ms"},
      {{"new", (dir / "n.dat").string(), "--sam=:7656"}, "", 2, "", "--sam wants HOST:PORT"},
      {{"new", (dir / "n.dat").string(), "--timeout=soon"}, "", 2, "", "--timeout wants"},
      {{"new"}, "", 2, "", "usage: velqor-keys new PATH"},
      {{"list", k}, "", 2, "", "unknown command 'list'"},
      {{}, "", 2, "", "a command is wanted"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.arguments.empty() ? "(none)" : row.arguments[0] + " " + row.arguments.back());
    std::istringstream in(row.in);
    std::ostringstream out, err;
    EXPECT_EQ(velqor_keys::run(row.arguments, in, out, err), row.status) << err.str();
    EXPECT_EQ(out.str(), row.out);
    EXPECT_NE(err.str().find(row.err), std::string::npos) << err.str();
  }
  // The key files are the raw bytes, mode 0600, the same for both ways of making them.
  EXPECT_EQ(bytesOf(copy), bytesOf(k));
  EXPECT_EQ(fs::status(k).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  SAM::FullDestination loaded;
  EXPECT_TRUE(SAM::loadKeyFile(k, loaded).ok());
  EXPECT_EQ(loaded.priv, priv);
  EXPECT_FALSE(fs::exists(dir / "short.dat") || fs::exists(dir / "n.dat"));
  ::close(refusingFd), ::close(silentFd);
  fs::remove_all(dir);
}

}  // namespace
