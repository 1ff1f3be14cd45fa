#include "directory_listing.hpp"

#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "fake_bridge.hpp"

namespace tessivar {
namespace {

using velqor_test::BridgeConnection;
using velqor_test::FakeBridge;

std::string row(const std::string& host, const std::string& helper, const std::string& host2) {
  return "<tr><td><a href=\"http://" + host + "/?i2paddresshelper=" + helper +
         "\">a</a> <a href=\"http://" + host2 + "/\">b</a></td><td>about " + host + "</td></tr>";
}

std::string withLength(const std::string& body) {
  return "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string makeTempDir() {
  char name[] = "/tmp/tessivar-listing-test-XXXXXX";
  if (mkdtemp(name) == nullptr) return "";
  return name;
}

std::vector<std::string> entriesOf(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* entry = readdir(d)) {
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

struct RunResult {
  int status = -1;
  std::string out, log, err;
};

// Runs the listing against a fake bridge whose site is scripted per test. TMPDIR points to a
// fresh directory, so a temporary file left behind shows.
class DirectoryListingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tmpDir_ = makeTempDir();
    workDir_ = makeTempDir();
    ASSERT_FALSE(tmpDir_.empty());
    ASSERT_FALSE(workDir_.empty());
    const char* old = std::getenv("TMPDIR");
    if (old != nullptr) oldTmpdir_ = old;
    hadTmpdir_ = old != nullptr;
    setenv("TMPDIR", tmpDir_.c_str(), 1);

    settings_.samPort = bridge_.port();
    outputPath_ = workDir_ + "/list.txt";
    settings_.outputPath = outputPath_;
    bridge_.on("NAMING LOOKUP", "NAMING REPLY RESULT=OK NAME=x VALUE=" + siteDestination() + "\n");
  }

  void TearDown() override {
    if (hadTmpdir_) {
      setenv("TMPDIR", oldTmpdir_.c_str(), 1);
    } else {
      unsetenv("TMPDIR");
    }
    for (const auto& dir : {tmpDir_, workDir_}) {
      for (const auto& name : entriesOf(dir)) unlink((dir + "/" + name).c_str());
      rmdir(dir.c_str());
    }
  }

  static const std::string& siteDestination() { return velqor_test::testKeyPub(); }

  // The site: answers STREAM CONNECT, takes the HTTP request, then sends `pieces` in
  // separate receives and closes the stream unless `keepOpen`.
  void serveSite(std::vector<std::string> pieces, bool keepOpen = false) {
    bridge_.on("STREAM CONNECT",
               [this, pieces, keepOpen](BridgeConnection& conn, const std::string&) {
                 conn.send("STREAM STATUS RESULT=OK\n");
                 for (std::string line = conn.readLine(); !line.empty(); line = conn.readLine()) {
                   {
                     std::lock_guard<std::mutex> lock(mutex_);
                     request_.push_back(line);
                   }
                   if (line == "\r\n") break;
                 }
                 conn.sendSplit(pieces);
                 if (!keepOpen) conn.close();
               });
  }

  RunResult run() {
    std::ostringstream out, log, err;
    RunResult result;
    result.status = runDirectoryListing(settings_, out, log, err);
    result.out = out.str();
    result.log = log.str();
    result.err = err.str();
    return result;
  }

  std::vector<std::string> request() {
    std::lock_guard<std::mutex> lock(mutex_);
    return request_;
  }

  RunSettings settings_;
  std::string tmpDir_, workDir_, outputPath_;
  bool hadTmpdir_ = false;
  std::string oldTmpdir_;
  std::mutex mutex_;
  std::vector<std::string> request_;
  FakeBridge bridge_;  // last, so its threads end before the members its handlers use
};

TEST_F(DirectoryListingTest, ListsTheRowsOfThePage) {
  const std::string& helper = velqor_test::testKeyPub();  // 524 characters, as on a real page
  serveSite({withLength("<html><table>\r\n" + row("alpha.i2p", helper, "alpha2.b32.i2p") + "\r\n" +
                        "<tr><td>not a row</td></tr>\r\n" + row("beta.i2p", "Zm9v~-", "beta2.i2p") +
                        "\r\n</table></html>\r\n")});
  const RunResult result = run();

  EXPECT_EQ(result.status, kExitSuccess);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out, "alpha.i2p; beta.i2p; \n2 eepsites\n");
  EXPECT_EQ(contentsOf(outputPath_),
            "alpha.i2p  " + helper + "  alpha2.b32.i2p\r\nbeta.i2p  Zm9v~-  beta2.i2p\r\n");
  const std::string tempLine = "Temp file: " + tmpDir_ + "/tessivar-";
  const std::size_t at = result.log.find(tempLine);
  ASSERT_NE(at, std::string::npos) << result.log;
  const std::size_t end = result.log.find('\n', at);
  EXPECT_EQ(result.log.substr(0, at),
            "Establish a tunnel ...\nNaming lookup ...\nConnect to tessivar-index.i2p ...\n"
            "Write request ...\nRead result ...\n");
  EXPECT_EQ(result.log.substr(end + 1), "Evaluate result ...\n");
  EXPECT_TRUE(entriesOf(tmpDir_).empty());

  EXPECT_EQ(request(),
            (std::vector<std::string>{"GET / HTTP/1.1\r\n", "Host: tessivar-index.i2p\r\n",
                                      "Connection: close\r\n", "\r\n"}));
}

TEST_F(DirectoryListingTest, PassesItsSettingsToTheBridgeAndTheSite) {
  settings_.siteHost = "elsewhere.i2p";
  settings_.i2cpOptions = "inbound.length=0 outbound.length=0";
  settings_.outputPath.reset();
  serveSite({withLength("")});
  const RunResult result = run();

  ASSERT_EQ(result.status, kExitSuccess) << result.err;
  EXPECT_EQ(result.out, "\n0 eepsites\n");
  EXPECT_TRUE(entriesOf(workDir_).empty());  // no output file asked for, none written
  const auto create = bridge_.linesStartingWith("SESSION CREATE");
  ASSERT_EQ(create.size(), 1u);
  EXPECT_NE(create[0].find(" DESTINATION=TRANSIENT "), std::string::npos) << create[0];
  EXPECT_NE(create[0].find("inbound.nickname=tessivar inbound.length=0 outbound.length=0\n"),
            std::string::npos)
      << create[0];
  EXPECT_EQ(bridge_.linesStartingWith("NAMING LOOKUP"),
            std::vector<std::string>{"NAMING LOOKUP NAME=elsewhere.i2p\n"});
  const auto connect = bridge_.linesStartingWith("STREAM CONNECT");
  ASSERT_EQ(connect.size(), 1u);
  EXPECT_NE(connect[0].find(" DESTINATION=" + siteDestination() + " SILENT=false"),
            std::string::npos);
  EXPECT_EQ(request().at(1), "Host: elsewhere.i2p\r\n");
}

struct SiteCase {
  const char* name;
  std::vector<std::string> pieces;  // sent in separate receives
  bool keepOpen;
  int status;
  std::string out;
  std::string file;
  std::string err;
};

class SiteTest : public DirectoryListingTest, public ::testing::WithParamInterface<SiteCase> {};

TEST_P(SiteTest, Run) {
  const SiteCase& c = GetParam();
  serveSite(c.pieces, c.keepOpen);
  const RunResult result = run();
  EXPECT_EQ(result.status, c.status);
  EXPECT_EQ(result.err, c.err);
  EXPECT_EQ(result.out, c.out);
  EXPECT_EQ(contentsOf(outputPath_), c.file);
  EXPECT_NE(result.log.find("Temp file: "), std::string::npos);
  EXPECT_TRUE(entriesOf(tmpDir_).empty()) << "temporary file left behind";
}

void PrintTo(const SiteCase& c, std::ostream* os) { *os << c.name; }

std::string chunk(const std::string& data, const std::string& extension = "") {
  std::ostringstream size;
  size << std::hex << data.size();
  return size.str() + extension + "\r\n" + data + "\r\n";
}

const std::string kHead = "HTTP/1.1 200 OK\r\n\r\n";  // body until the stream ends
const std::string kChunkedHead = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";

INSTANTIATE_TEST_SUITE_P(
    DirectoryListing, SiteTest,
    ::testing::Values(
        SiteCase{"NoRows",
                 {withLength("<html><p>nothing listed today</p></html>\n")},
                 false,
                 kExitSuccess,
                 "\n0 eepsites\n",
                 "",
                 ""},
        SiteCase{"RowSplitAcrossSends",
                 {kHead + "<table>\n<tr><td><a href=\"http://split.i2p/?i2paddre",
                  "sshelper=SPLIT\">a</a> <a href=\"http://split2.i2p/\">b</a></td></tr>\n"},
                 false,
                 kExitSuccess,
                 "split.i2p; \n1 eepsites\n",
                 "split.i2p  SPLIT  split2.i2p\r\n",
                 ""},
        // The greedy first group runs from the first row's host to the last row's.
        SiteCase{"TwoRowsOnOneLine",
                 {withLength(row("one.i2p", "X1", "one2.i2p") + row("two.i2p", "X2", "two2.i2p") +
                             "\n")},
                 false,
                 kExitSuccess,
                 "one.i2p/?i2paddresshelper=X1\">a</a> <a href=\"http://one2.i2p/\">b</a></td><td>"
                 "about one.i2p</td></tr><tr><td><a href=\"http://two.i2p; \n1 eepsites\n",
                 "one.i2p/?i2paddresshelper=X1\">a</a> <a href=\"http://one2.i2p/\">b</a></td><td>"
                 "about one.i2p</td></tr><tr><td><a href=\"http://two.i2p  X2  two2.i2p\r\n",
                 ""},
        // Chunk boundaries inside a row, the chunks themselves split across sends; the site
        // keeps the stream open after the last chunk.
        SiteCase{"ChunkedReply",
                 {kChunkedHead + chunk("<tr><td><a href=\"http://ch"),
                  chunk("unk.i2p/?i2paddresshelper=CH\">a</a> <a href=\"http://chunk2.i2p/\">",
                        ";note=1") +
                      chunk("b</a></td></tr>\n"),
                  "0\r\n\r\n"},
                 true,
                 kExitSuccess,
                 "chunk.i2p; \n1 eepsites\n",
                 "chunk.i2p  CH  chunk2.i2p\r\n",
                 ""},
        SiteCase{"ServerKeepsTheStreamOpen",
                 {withLength(row("kept.i2p", "K", "kept2.i2p") + "\n")},
                 true,
                 kExitSuccess,
                 "kept.i2p; \n1 eepsites\n",
                 "kept.i2p  K  kept2.i2p\r\n",
                 ""},
        SiteCase{"NotFound",
                 {"HTTP/1.1 404 Not Found\r\nContent-Length: 40\r\n\r\n" +
                  row("ghost.i2p", "G", "g.i2p").substr(0, 40)},
                 false,
                 kExitRunFailed,
                 "",
                 "",
                 "Error: Error HTTP status 404 Not Found\n"},
        SiteCase{"BodyCutShort",
                 {"HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n" + row("cut.i2p", "C", "c.i2p") +
                  "\n"},
                 false,
                 kExitRunFailed,
                 "",
                 "",
                 "Error: Error HTTP response incomplete body\n"}),
    [](const ::testing::TestParamInfo<SiteCase>& info) { return std::string(info.param.name); });

TEST_F(DirectoryListingTest, ResultsThatCannotBeWrittenFailTheRun) {
  serveSite({withLength(row("lost.i2p", "L", "lost2.i2p") + "\n")});
  std::ostream unwritable(nullptr);  // every write fails, as on a full disk
  std::ostringstream log, err;
  EXPECT_EQ(runDirectoryListing(settings_, unwritable, log, err), kExitRunFailed);
  EXPECT_EQ(err.str(), "Error: error writing standard output\n");
  EXPECT_TRUE(entriesOf(tmpDir_).empty());
}

TEST_F(DirectoryListingTest, FailedLookupLeavesNoTemporaryFile) {
  bridge_.on("NAMING LOOKUP", "NAMING REPLY RESULT=KEY_NOT_FOUND NAME=tessivar-index.i2p\n");
  const RunResult result = run();
  EXPECT_EQ(result.status, kExitRunFailed);
  EXPECT_EQ(result.err, "Error: Error namingLookup\n");
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.log, "Establish a tunnel ...\nNaming lookup ...\n");
  EXPECT_TRUE(bridge_.linesStartingWith("STREAM CONNECT").empty());
  EXPECT_TRUE(entriesOf(tmpDir_).empty());
}

TEST_F(DirectoryListingTest, FailedConnectIsReported) {
  bridge_.on("STREAM CONNECT", "STREAM STATUS RESULT=CANT_REACH_PEER\n");
  const RunResult result = run();
  EXPECT_EQ(result.status, kExitRunFailed);
  EXPECT_EQ(result.err, "Error: Error Connection Result\n");
  EXPECT_TRUE(entriesOf(tmpDir_).empty());
}

TEST_F(DirectoryListingTest, UnwritableOutputFileFailsBeforeAnyNetworkActivity) {
  settings_.outputPath = workDir_ + "/missing/list.txt";
  const RunResult result = run();
  EXPECT_EQ(result.status, kExitRunFailed);
  EXPECT_EQ(result.err, "Error: error ofstream 1 - Can not open file!\n");
  EXPECT_EQ(result.log, "");
  // Had the run reached the bridge, the bridge would have accepted before answering HELLO.
  EXPECT_EQ(bridge_.connectionCount(), 0);
}

}  // namespace
}  // namespace tessivar
