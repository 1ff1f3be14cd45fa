// tessivar against hostile sites: a 10 MB line, 100 000 rows, binary and zero bytes, absurd
// chunk sizes, a close in the middle of a row, a full disk. Each run ends with a defined exit
// status and output; its temporary file has mode 0600 while the run goes and is gone after it,
// and no descriptor stays open.
#include <sys/resource.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "directory_listing.hpp"
#include "fake_bridge.hpp"
#include "process_usage.hpp"

namespace {

namespace fs = std::filesystem;

std::string row(const std::string& host, const std::string& helper, const std::string& host2) {
  return "<tr><td><a href=\"http://" + host + "/?i2paddresshelper=" + helper +
         "\">a</a> <a href=\"http://" + host2 + "/\">b</a></td></tr>";
}

// The row as the output file lists it.
std::string listed(const std::string& host, const std::string& helper, const std::string& host2) {
  return host + "  " + helper + "  " + host2 + "\r\n";
}

const std::string okHead = "HTTP/1.1 200 OK\r\n\r\n";  // a body that runs to the stream's end
const std::string chunkedHead = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";

struct Case {
  const char* name;
  std::string head;            // in a receive of its own; then the temporary file is seen
  std::string body, rest;      // each in a receive of its own; then the site closes
  std::string out, file, err;  // no error: success
};

class HostilePageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/velqor-hostile-page-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
    fs::create_directory(dir_ + "/tmp");
    setenv("TMPDIR", (dir_ + "/tmp").c_str(), 1);
    settings_.samPort = bridge_->port();
    settings_.outputPath = dir_ + "/list.txt";
    bridge_->on("NAMING LOOKUP",
                "NAMING REPLY RESULT=OK NAME=x VALUE=" + velqor_test::testKeyPub() + "\n");
  }

  void TearDown() override {
    bridge_.reset();
    fs::remove_all(dir_);
    EXPECT_EQ(velqor_test::openDescriptors(), descriptorsBefore_) << "a descriptor leaked";
  }

  void expectRun(const Case& c) {
    SCOPED_TRACE(c.name);
    fs::remove(*settings_.outputPath);
    std::mutex mutex;
    std::vector<unsigned> modes;  // of the files in TMPDIR once the run has read the head
    bridge_->on("STREAM CONNECT", [&](velqor_test::BridgeConnection& conn, const std::string&) {
      conn.send("STREAM STATUS RESULT=OK\n");
      for (std::string line = "-"; !line.empty() && line != "\r\n";) line = conn.readLine();
      conn.sendSplit({c.head, ""});  // the empty piece waits until the run has read the head
      for (const auto& entry : fs::directory_iterator(dir_ + "/tmp")) {
        struct stat info {};
        lstat(entry.path().c_str(), &info);
        std::lock_guard<std::mutex> lock(mutex);
        modes.push_back(info.st_mode);
      }
      conn.sendSplit({c.body, c.rest});
      conn.close();
    });
    std::ostringstream out, log, err;
    EXPECT_EQ(tessivar::runDirectoryListing(settings_, out, log, err),
              c.err.empty() ? tessivar::kExitSuccess : tessivar::kExitRunFailed);
    EXPECT_EQ(err.str(), c.err);
    EXPECT_EQ(out.str(), c.out);
    std::ifstream file(*settings_.outputPath, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), c.file);
    EXPECT_TRUE(fs::is_empty(dir_ + "/tmp")) << "temporary file left behind";
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(modes, std::vector<unsigned>{S_IFREG | 0600});
  }

  const int descriptorsBefore_ = velqor_test::openDescriptors();
  std::string dir_;
  tessivar::RunSettings settings_;
  std::unique_ptr<velqor_test::FakeBridge> bridge_ = std::make_unique<velqor_test::FakeBridge>();
};

TEST_F(HostilePageTest, EveryHostilePageEndsInADefinedResult) {
  const std::string opening = "<td><a href=\"http://h/?i2paddresshelper=v\">a</a> <a href=\"";
  std::string hugeLine;  // row openings that never close
  while (hugeLine.size() < (10 << 20)) hugeLine += opening;
  std::string rows, rowsOut, rowsFile;
  for (int i = 0; i < 100000; ++i) {
    const std::string n = std::to_string(i);
    rows += row("h" + n + ".i2p", "H" + n, "g" + n + ".i2p") + "\r\n";
    rowsOut += "h" + n + ".i2p; ";
    rowsFile += listed("h" + n + ".i2p", "H" + n, "g" + n + ".i2p");
  }
  const std::string rowsHead =
      "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(rows.size()) + "\r\n\r\n";
  // Lines of random bytes (no "\n") around rows whose fields hold zero and high bytes; one
  // receive begins with a zero byte, which once ended the page early.
  std::mt19937 random(99);
  const auto junk = [&random] {
    std::string line(1 + random() % 300, '\0');
    for (char& c : line) {
      c = static_cast<char>(random() % 256);
      if (c == '\n') c = '\0';
    }
    return line + "\n";
  };
  const std::string zeroHost("zero\0host.i2p", 13), binaryHelper("\xff\x01\0~", 4);
  std::string binary = junk() + row(zeroHost, binaryHelper, "z2.i2p") + "\n";
  for (int i = 0; i < 50; ++i) binary += junk();
  const std::string binaryRest =
      std::string(1, '\0') + junk() + row("plain.i2p", "P", "p2.i2p") + "\r\n" + junk() + junk();
  // Without a length a body ends with the stream: a half row at its end is no row.
  const std::string whole = row("whole.i2p", "W", "w2.i2p") + "\n";
  const std::string half = row("half.i2p", "H", "h2.i2p").substr(0, 40);
  const std::string incomplete = "Error: Error HTTP response incomplete body\n";
  const std::string badChunk = "Error: Error HTTP response bad chunk\n";
  const Case cases[] = {
      {"a 10 MB line", okHead, hugeLine + "\n" + row("after.i2p", "A", "a2.i2p") + "\n", "",
       "after.i2p; \n1 eepsites\n", listed("after.i2p", "A", "a2.i2p"), ""},
      {"100 000 rows", rowsHead, rows, "", rowsOut + "\n100000 eepsites\n", rowsFile, ""},
      {"binary and zero bytes", okHead, binary, binaryRest,
       zeroHost + "; plain.i2p; \n2 eepsites\n",
       listed(zeroHost, binaryHelper, "z2.i2p") + listed("plain.i2p", "P", "p2.i2p"), ""},
      {"a close mid-row", okHead, whole, half, "whole.i2p; \n1 eepsites\n",
       listed("whole.i2p", "W", "w2.i2p"), ""},
      {"a close mid-row, inside a chunk", chunkedHead, "400\r\n" + whole, half, "", "", incomplete},
      {"the largest chunk size", chunkedHead, "FFFFFFFFFFFFFFFF\r\n" + whole, "", "", "",
       incomplete},
      {"a chunk size beyond 64 bits", chunkedHead, "10000000000000000\r\n" + whole, "", "", "",
       badChunk},
      {"a negative chunk size", chunkedHead, "-1\r\n" + whole, "", "", "", badChunk},
      {"a chunk size line of 100 KB", chunkedHead, std::string(100000, '0') + "5\r\n", "", "", "",
       "Error: Error HTTP response line too long\n"},
  };
  for (const Case& c : cases) expectRun(c);
}

// A full disk, made by a limit on file sizes: writing the page copy fails the run.
TEST_F(HostilePageTest, APageCopyThatCannotBeWrittenFailsTheRun) {
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);  // a failed write, not a dead process
  rlimit limit = old;
  limit.rlim_cur = 1 << 20;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  std::string page;
  while (page.size() < (4 << 20)) page += row("big.i2p", "B", "b2.i2p") + "\n";
  expectRun({"a full disk", okHead, page, "", "", "", "Error: error writing temp file\n"});
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
}

}  // namespace
