// tessivar against hostile directory sites: pages with a 10 MB line, with 100 000 rows, with
// binary and zero bytes, chunked bodies with absurd chunk sizes, and sites that close in the
// middle of a row or fail in other ways. Each run must end with a defined exit status and
// output; while it runs, its temporary file is private to the user (mode 0600), and once it
// has ended, on success and on every failure, the file is gone and no descriptor is left open.
#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "directory_listing.hpp"
#include "fake_bridge.hpp"
#include "process_usage.hpp"

namespace {

using tessivar::kExitRunFailed;
using tessivar::kExitSuccess;
using velqor_test::BridgeConnection;
using velqor_test::FakeBridge;
using velqor_test::ProcessUsage;

std::string row(const std::string& host, const std::string& helper, const std::string& host2) {
  return "<tr><td><a href=\"http://" + host + "/?i2paddresshelper=" + helper +
         "\">a</a> <a href=\"http://" + host2 + "/\">b</a></td></tr>";
}

const std::string okHead = "HTTP/1.1 200 OK\r\n\r\n";  // a body that runs to the stream's end
const std::string chunkedHead = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";

std::string withLength(const std::string& body) {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
}

std::string makeTempDir() {
  char name[] = "/tmp/velqor-hostile-page-XXXXXX";
  return mkdtemp(name) != nullptr ? name : "";
}

std::vector<std::string> entriesOf(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* entry = readdir(d)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
  }
  return names;
}

std::string contentsOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

// What a site sends: `head` first, in a receive of its own (by then the run has made its
// temporary file), then `pieces`, each in a receive of its own; then it closes the stream.
struct Site {
  std::string head;
  std::vector<std::string> pieces;
};

struct Expected {
  int status;
  std::string out;
  std::string err;
  std::string file;  // the output file's contents
};

class HostilePageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    descriptorsBefore_ = ProcessUsage::openDescriptors();
    tmpDir_ = makeTempDir();
    workDir_ = makeTempDir();
    ASSERT_FALSE(tmpDir_.empty());
    ASSERT_FALSE(workDir_.empty());
    const char* old = std::getenv("TMPDIR");
    hadTmpdir_ = old != nullptr;
    if (hadTmpdir_) oldTmpdir_ = old;
    setenv("TMPDIR", tmpDir_.c_str(), 1);

    bridge_ = std::make_unique<FakeBridge>();
    settings_.samPort = bridge_->port();
    settings_.outputPath = workDir_ + "/list.txt";
    bridge_->on("NAMING LOOKUP",
                "NAMING REPLY RESULT=OK NAME=x VALUE=" + velqor_test::testKeyPub() + "\n");
  }

  void TearDown() override {
    bridge_.reset();
    if (hadTmpdir_) {
      setenv("TMPDIR", oldTmpdir_.c_str(), 1);
    } else {
      unsetenv("TMPDIR");
    }
    for (const std::string& dir : {tmpDir_, workDir_}) {
      for (const std::string& name : entriesOf(dir)) unlink((dir + "/" + name).c_str());
      rmdir(dir.c_str());
    }
    EXPECT_EQ(ProcessUsage::openDescriptors(), descriptorsBefore_) << "a descriptor leaked";
  }

  void serve(const Site& site) {
    bridge_->on("STREAM CONNECT", [this, site](BridgeConnection& conn, const std::string&) {
      conn.send("STREAM STATUS RESULT=OK\n");
      for (std::string line = conn.readLine(); !line.empty() && line != "\r\n";
           line = conn.readLine()) {
      }
      if (!site.head.empty()) {
        // The empty piece after the head only makes the sender wait until the run has read
        // the head; the run made its temporary file before its first read.
        conn.sendSplit({site.head, ""});
        noteTemporaryFiles();
      }
      conn.sendSplit(site.pieces);
      conn.close();
    });
  }

  // Runs tessivar against `site` and checks its results, that its temporary file was
  // private while it ran, and that it is gone now.
  void expectRun(const Site& site, const Expected& expected) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      temporaryFiles_.clear();
    }
    unlink(settings_.outputPath->c_str());
    serve(site);
    std::ostringstream out, log, err;
    EXPECT_EQ(tessivar::runDirectoryListing(settings_, out, log, err), expected.status);
    EXPECT_EQ(err.str(), expected.err);
    EXPECT_EQ(out.str(), expected.out);
    EXPECT_EQ(contentsOf(*settings_.outputPath), expected.file);
    if (!site.head.empty()) {
      std::lock_guard<std::mutex> lock(mutex_);
      EXPECT_EQ(temporaryFiles_, std::vector<std::string>{"tessivar-XXXXXX 100600"});
    }
    EXPECT_EQ(entriesOf(tmpDir_), std::vector<std::string>{}) << "temporary file left behind";
  }

  // Records each file in the temporary directory as "name-pattern mode".
  void noteTemporaryFiles() {
    std::vector<std::string> seen;
    for (const std::string& name : entriesOf(tmpDir_)) {
      struct stat info {};
      lstat((tmpDir_ + "/" + name).c_str(), &info);
      std::ostringstream entry;
      entry << name.substr(0, 9) << std::string(name.size() - 9, 'X') << " " << std::oct
            << info.st_mode;
      seen.push_back(entry.str());
    }
    std::lock_guard<std::mutex> lock(mutex_);
    temporaryFiles_ = seen;
  }

  tessivar::RunSettings settings_;

 private:
  int descriptorsBefore_ = 0;
  std::string tmpDir_, workDir_;
  bool hadTmpdir_ = false;
  std::string oldTmpdir_;
  std::mutex mutex_;
  std::vector<std::string> temporaryFiles_;
  std::unique_ptr<FakeBridge> bridge_;  // last: its threads end before what they use
};

TEST_F(HostilePageTest, AHugeLineAndAHugePageAreListedInFull) {
  // Row openings that never close, 10 MB of them on one line, then a row.
  const std::string opening = "<td><a href=\"http://h/?i2paddresshelper=v\">a</a> <a href=\"";
  std::string hugeLine;
  while (hugeLine.size() < 10 * 1024 * 1024) hugeLine += opening;
  expectRun({okHead, {hugeLine + "\n" + row("after.i2p", "A", "a2.i2p") + "\n"}},
            {kExitSuccess, "after.i2p; \n1 eepsites\n", "", "after.i2p  A  a2.i2p\r\n"});

  std::string page, out, file;
  for (int i = 0; i < 100000; ++i) {
    const std::string n = std::to_string(i);
    page += row("h" + n + ".i2p", "H" + n, "g" + n + ".i2p") + "\r\n";
    out += "h" + n + ".i2p; ";
    file += "h" + n + ".i2p  H" + n + "  g" + n + ".i2p\r\n";
  }
  expectRun({withLength(page), {page}}, {kExitSuccess, out + "\n100000 eepsites\n", "", file});
}

TEST_F(HostilePageTest, BinaryAndZeroBytesInThePageAreOrdinaryBytes) {
  // Lines of random bytes (no "\n") between rows whose fields hold zero and high bytes; one
  // receive begins with a zero byte, which once ended the page early.
  std::mt19937 random(99);
  const auto junkLine = [&random] {
    std::string line(1 + random() % 300, '\0');
    for (char& c : line) {
      c = static_cast<char>(random() % 256);
      if (c == '\n') c = '\0';
    }
    return line + "\n";
  };
  const std::string zeroHost("zero\0host.i2p", 13);
  const std::string binaryHelper("\xff\x01\0~", 4);
  std::string page = junkLine() + row(zeroHost, binaryHelper, "z2.i2p") + "\n";
  for (int i = 0; i < 50; ++i) page += junkLine();
  const std::string rest = std::string(1, '\0') + junkLine() + row("plain.i2p", "P", "p2.i2p") +
                           "\r\n" + junkLine() + junkLine();
  expectRun({okHead, {page, rest}},
            {kExitSuccess, zeroHost + "; plain.i2p; \n2 eepsites\n", "",
             zeroHost + "  " + binaryHelper + "  z2.i2p\r\nplain.i2p  P  p2.i2p\r\n"});
}

TEST_F(HostilePageTest, ASiteThatClosesMidRowEndsTheRunCleanly) {
  const std::string whole = row("whole.i2p", "W", "w2.i2p") + "\n";
  const std::string half = row("half.i2p", "H", "h2.i2p").substr(0, 40);
  // Without a length the body ends with the stream: the half row is no row.
  expectRun({okHead, {whole, half}},
            {kExitSuccess, "whole.i2p; \n1 eepsites\n", "", "whole.i2p  W  w2.i2p\r\n"});
  // A chunked body cut inside a chunk is incomplete.
  expectRun({chunkedHead, {"400\r\n" + whole, half}},
            {kExitRunFailed, "", "Error: Error HTTP response incomplete body\n", ""});
}

TEST_F(HostilePageTest, EveryFailureRemovesThePrivateTemporaryFile) {
  const std::string rows = row("r.i2p", "R", "r2.i2p") + "\n";
  const Expected incomplete = {kExitRunFailed, "", "Error: Error HTTP response incomplete body\n",
                               ""};
  const Expected badChunk = {kExitRunFailed, "", "Error: Error HTTP response bad chunk\n", ""};
  const Expected tooLong = {kExitRunFailed, "", "Error: Error HTTP response line too long\n", ""};
  const struct {
    const char* name;
    Site site;
    Expected expected;
  } cases[] = {
      {"the largest chunk size", {chunkedHead, {"FFFFFFFFFFFFFFFF\r\n" + rows}}, incomplete},
      {"a chunk size beyond 64 bits", {chunkedHead, {"10000000000000000\r\n" + rows}}, badChunk},
      {"a negative chunk size", {chunkedHead, {"-1\r\n" + rows}}, badChunk},
      {"a chunk size line of 100 KB", {chunkedHead, {std::string(100000, '0') + "5\r\n"}}, tooLong},
      {"a header line of 100 KB",
       {"HTTP/1.1 200 OK\r\n", {"X-Junk: " + std::string(100000, 'j') + "\r\n\r\n" + rows}},
       tooLong},
      {"a coding it cannot decode",
       {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n", {"\r\n" + rows}},
       {kExitRunFailed, "", "Error: Error HTTP response unsupported Transfer-Encoding gzip\n", ""}},
      {"binary bytes instead of a status line",
       {std::string("\0\xff\x01 not", 7), {" HTTP\r\n" + rows}},
       {kExitRunFailed, "", "Error: Error HTTP response malformed status line\n", ""}},
      {"a stream that ends before any byte",
       {"", {}},
       {kExitRunFailed, "", "Error: Error HTTP response empty\n", ""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    expectRun(c.site, c.expected);
  }
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
  expectRun({okHead, {page}}, {kExitRunFailed, "", "Error: error writing temp file\n", ""});

  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
}

}  // namespace
