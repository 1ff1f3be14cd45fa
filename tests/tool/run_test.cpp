#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "command_line.hpp"
#include "directory_listing.hpp"
#include "fake_bridge.hpp"

namespace tessivar {
namespace {

std::string row(const std::string& host, const std::string& helper, const std::string& host2) {
  return "<tr><td><a href=\"http://" + host + "/?i2paddresshelper=" + helper +
         "\">a</a> <a href=\"http://" + host2 + "/\">b</a></td><td>about " + host + "</td></tr>";
}

std::string withLength(const std::string& body) {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string chunk(const std::string& data) {
  std::ostringstream text;
  text << std::hex << data.size() << "\r\n" << data << "\r\n";
  return text.str();
}

std::string contentsOf(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

struct Outcome {
  int status;
  std::string out, err;
};

// Runs tessivar through the shell with `arguments` (already quoted).
Outcome runTessivar(const std::string& arguments) {
  FILE* pipe = popen((TESSIVAR_BINARY " " + arguments).c_str(), "r");
  std::string out;
  for (int c; pipe != nullptr && (c = std::fgetc(pipe)) != EOF;) out += static_cast<char>(c);
  const int status = pipe != nullptr ? pclose(pipe) : -1;
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out, ""};
}

// A fake bridge with a scripted site, and TMPDIR in a fresh directory, so that a temporary
// file left behind shows.
class ListingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/tessivar-test-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
    std::filesystem::create_directory(dir_ + "/tmp");
    if (const char* old = std::getenv("TMPDIR")) oldTmpdir_ = old;
    setenv("TMPDIR", (dir_ + "/tmp").c_str(), 1);
    settings_.samPort = bridge_.port();
    settings_.outputPath = dir_ + "/list.txt";
    bridge_.on("NAMING LOOKUP",
               "NAMING REPLY RESULT=OK NAME=x VALUE=" + velqor_test::testKeyPub() + "\n");
  }

  void TearDown() override {
    oldTmpdir_ ? setenv("TMPDIR", oldTmpdir_->c_str(), 1) : unsetenv("TMPDIR");
    std::filesystem::remove_all(dir_);
  }

  // The site takes the request, sends the pieces of `response` between "|" in separate
  // receives and closes the stream, unless `keepOpen`.
  void serveSite(const std::string& response, bool keepOpen = false) {
    std::vector<std::string> pieces;
    std::istringstream in(response);
    for (std::string piece; std::getline(in, piece, '|');) pieces.push_back(piece);
    const auto hold = keepOpen ? bridge_.makeGate() : nullptr;
    bridge_.on("STREAM CONNECT", [=](velqor_test::BridgeConnection& conn, const std::string&) {
      conn.send("STREAM STATUS RESULT=OK\n");
      for (std::string line = "-"; !line.empty() && line != "\r\n";) {
        line = conn.readLine();
        std::lock_guard<std::mutex> lock(mutex_);
        request_ += line;
      }
      conn.sendSplit(pieces);
      if (hold) hold->wait();
      conn.close();
    });
  }

  std::string request() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(request_, "");
  }

  Outcome run() {
    std::ostringstream out, log, err;
    const int status = runDirectoryListing(settings_, out, log, err);
    return {status, out.str(), err.str()};
  }

  bool tmpIsEmpty() const { return std::filesystem::is_empty(dir_ + "/tmp"); }
  std::string sam() const { return " --sam=127.0.0.1:" + std::to_string(bridge_.port()); }

  std::string dir_;
  std::optional<std::string> oldTmpdir_;
  RunSettings settings_;
  std::mutex mutex_;
  std::string request_;
  velqor_test::FakeBridge bridge_;  // last, so its threads end before what its handlers use
};

TEST_F(ListingTest, ListsTheRowsOfThePageOrFailsCleanly) {
  struct Case {
    const char* name;
    std::string response;  // "|" marks where the site waits for the client to read
    bool keepOpen;
    std::string out, file, err;
  };
  const std::string key = velqor_test::testKeyPub();  // 524 characters, as on a real page
  const std::string greedy =  // group 1 runs from the first row's host to the last row's
      "one.i2p/?i2paddresshelper=X1\">a</a> <a href=\"http://one2.i2p/\">b</a></td><td>about "
      "one.i2p</td></tr><tr><td><a href=\"http://two.i2p";
  const std::vector<Case> cases = {
      {"rows, the stream kept open after the body",
       withLength("<table>\r\n" + row("alpha.i2p", key, "alpha2.b32.i2p") +
                  "\r\n<tr><td>not a row</td></tr>\r\n" + row("beta.i2p", "Zm9v~-", "beta2.i2p") +
                  "\r\n</table>\r\n"),
       true, "alpha.i2p; beta.i2p; \n2 eepsites\n",
       "alpha.i2p  " + key + "  alpha2.b32.i2p\r\nbeta.i2p  Zm9v~-  beta2.i2p\r\n", ""},
      {"no rows", withLength("<html><p>nothing listed today</p></html>\n"), false, "\n0 eepsites\n",
       "", ""},
      {"row split across sends",
       "HTTP/1.1 200 OK\r\n\r\n<tr><td><a href=\"http://split.i2p/?i2paddre|sshelper=SPLIT\">a</a> "
       "<a href=\"http://split2.i2p/\">b</a></td></tr>\n",
       false, "split.i2p; \n1 eepsites\n", "split.i2p  SPLIT  split2.i2p\r\n", ""},
      {"two rows on one line",
       withLength(row("one.i2p", "X1", "one2.i2p") + row("two.i2p", "X2", "two2.i2p") + "\n"),
       false, greedy + "; \n1 eepsites\n", greedy + "  X2  two2.i2p\r\n", ""},
      {"chunk boundaries inside a row, the stream kept open",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + chunk("<tr><td><a href=\"ht") +
           "|" +
           chunk("tp://chunk.i2p/?i2paddresshelper=CH\">a</a> <a href=\"http://chunk2.i2p/\">") +
           chunk("b</a></td></tr>\n") + "|0\r\n\r\n",
       true, "chunk.i2p; \n1 eepsites\n", "chunk.i2p  CH  chunk2.i2p\r\n", ""},
      {"404",
       "HTTP/1.1 404 Not Found\r\nContent-Length: 30\r\n\r\n" + row("ghost.i2p", "G", "g.i2p"),
       false, "", "", "Error: Error HTTP status 404 Not Found\n"},
      {"body cut short",
       "HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n" + row("cut.i2p", "C", "c.i2p") + "\n",
       false, "", "", "Error: Error HTTP response incomplete body\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    serveSite(c.response, c.keepOpen);
    const Outcome result = run();
    EXPECT_EQ(result.status, c.err.empty() ? kExitSuccess : kExitRunFailed);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(contentsOf(dir_ + "/list.txt"), c.file);
    EXPECT_EQ(request(), "GET / HTTP/1.1\r\nHost: tessivar-index.i2p\r\nConnection: close\r\n\r\n");
    EXPECT_TRUE(tmpIsEmpty()) << "temporary file left behind";
  }
}

TEST_F(ListingTest, FailuresAreReportedAndLeaveNoTemporaryFile) {
  serveSite(withLength(row("lost.i2p", "L", "lost2.i2p") + "\n"));
  std::ostream unwritable(nullptr);  // every write fails, as on a full disk
  std::ostringstream log, err;
  EXPECT_EQ(runDirectoryListing(settings_, unwritable, log, err), kExitRunFailed);
  EXPECT_EQ(err.str(), "Error: error writing standard output\n");

  bridge_.on("STREAM CONNECT", "STREAM STATUS RESULT=CANT_REACH_PEER\n");
  EXPECT_EQ(run().err, "Error: Error Connection Result\n");

  bridge_.on("NAMING LOOKUP", "NAMING REPLY RESULT=KEY_NOT_FOUND NAME=tessivar-index.i2p\n");
  const Outcome result = run();
  EXPECT_EQ(result.status, kExitRunFailed);
  EXPECT_EQ(result.err, "Error: Error namingLookup\n");
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(bridge_.linesStartingWith("STREAM CONNECT").size(), 2u);
  EXPECT_TRUE(tmpIsEmpty());

  settings_.outputPath = dir_ + "/missing/list.txt";
  const int connections = bridge_.connectionCount();
  EXPECT_EQ(run().err, "Error: error ofstream 1 - Can not open file!\n");
  EXPECT_EQ(bridge_.connectionCount(), connections) << "the bridge was reached";
}

TEST(CommandLineTest, TheFirstHelpVersionOrErrorDecides) {
  const auto action = [](std::vector<const char*> arguments) {
    arguments.insert(arguments.begin(), "tessivar");
    const CommandLine line(static_cast<int>(arguments.size()), arguments.data());
    EXPECT_EQ(line.error().empty(), line.action() != CommandLine::Action::kUsageError);
    return line.action();
  };
  EXPECT_EQ(action({"out.txt", "--help", "--bogus"}), CommandLine::Action::kShowHelp);
  EXPECT_EQ(action({"-h"}), CommandLine::Action::kShowHelp);
  EXPECT_EQ(action({"--version", "--bogus"}), CommandLine::Action::kShowVersion);
  EXPECT_EQ(action({"--", "-odd-name", "--help"}), CommandLine::Action::kRun);
  for (const char* bad : {"--bogus", "-", "--sam", "--sam=localhost:7656", "--sam=127.0.0.1",
                          "--sam=127.0.0.1:0", "--sam=127.0.0.1:65536", "--sam=127.0.0.1:76x",
                          "--site=", "--site=a.i2p\r\nX:y", "--i2cp-options=a=1\nSESSION"}) {
    EXPECT_EQ(action({bad, "--help"}), CommandLine::Action::kUsageError) << bad;
  }
}

TEST_F(ListingTest, TheBinaryTakesItsArgumentsAndExitsWithTheOutcome) {
  EXPECT_EQ(runTessivar("--help").out, CommandLine::help());
  EXPECT_EQ(runTessivar("--version").out, "tessivar " TESSIVAR_VERSION "\n");
  const Outcome usage = runTessivar("--bogus 2>&1 >/dev/null");  // standard error only
  EXPECT_EQ(usage.status, 2);
  EXPECT_EQ(usage.out, "tessivar: unknown option '--bogus'\n" + CommandLine::usage());

  serveSite("HTTP/1.1 200 OK\r\n\r\n" + row("b.i2p", "B", "b2.i2p") + "\n");
  const Outcome ok = runTessivar(dir_ + "/out.txt " + dir_ + "/ignored.txt" + sam() +
                                 " --site=x.i2p '--i2cp-options=inbound.length=0' 2>/dev/null");
  EXPECT_EQ(ok.status, 0);
  EXPECT_EQ(ok.out, "b.i2p; \n1 eepsites\n");
  EXPECT_EQ(contentsOf(dir_ + "/out.txt"), "b.i2p  B  b2.i2p\r\n");
  EXPECT_EQ(bridge_.linesStartingWith("NAMING LOOKUP").at(0), "NAMING LOOKUP NAME=x.i2p\n");
  EXPECT_NE(request().find("\r\nHost: x.i2p\r\n"), std::string::npos);
  const std::string create = bridge_.linesStartingWith("SESSION CREATE").at(0);
  EXPECT_NE(create.find(" inbound.nickname=tessivar inbound.length=0\n"), std::string::npos);

  bridge_.on("NAMING LOOKUP", "NAMING REPLY RESULT=KEY_NOT_FOUND NAME=x\n");
  const Outcome failed = runTessivar(sam() + " 2>&1");
  EXPECT_EQ(failed.status, 1);
  EXPECT_NE(failed.out.find("Error: Error namingLookup\n"), std::string::npos) << failed.out;
  EXPECT_TRUE(tmpIsEmpty());
}

TEST_F(ListingTest, TheBinaryRemovesItsPrivateTemporaryFileWhenTerminated) {
  serveSite("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n<html>", true);
  // The shell prints its process number, which tessivar keeps by exec.
  FILE* pipe = popen(("echo $$; exec " TESSIVAR_BINARY + sam() + " 2>&1").c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char line[4096];
  ASSERT_NE(std::fgets(line, sizeof line, pipe), nullptr);
  const pid_t pid = static_cast<pid_t>(std::atol(line));
  std::string path;
  while (path.empty() && std::fgets(line, sizeof line, pipe) != nullptr) {
    if (std::strncmp(line, "Temp file: ", 11) == 0) path.assign(line + 11, std::strlen(line) - 12);
  }
  ASSERT_EQ(path.rfind(dir_ + "/tmp/tessivar-", 0), 0u) << path;
  struct stat info {};
  EXPECT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  const int status = pclose(pipe);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  EXPECT_TRUE(tmpIsEmpty());
}

}  // namespace
}  // namespace tessivar
