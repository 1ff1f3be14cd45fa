// tessivar's runs against the fake bridge and a scripted site: in-process for the listings and
// their failures, and as the real binary for its command line, signals and terminal.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <nlohmann/json.hpp>
#include <velqor/sam.hpp>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
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

namespace fs = std::filesystem;
using velqor_test::BridgeConnection;

std::string row(const std::string& host, const std::string& helper, const std::string& host2) {
  return "<tr><td><a href=\"http://" + host + "/?i2paddresshelper=" + helper +
         "\">a</a> <a href=\"http://" + host2 + "/\">b</a></td><td>about " + host + "</td></tr>";
}

// The row as the output file lists it.
std::string listed(const std::string& host, const std::string& helper, const std::string& host2) {
  return host + "  " + helper + "  " + host2 + "\r\n";
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
  std::string out, err, log;
};

// Runs tessivar through the shell with `arguments` (already quoted); `out` is its stdout.
Outcome runTessivar(const std::string& arguments) {
  FILE* pipe = popen((TESSIVAR_BINARY " " + arguments).c_str(), "r");
  std::string out;
  for (int c; pipe != nullptr && (c = std::fgetc(pipe)) != EOF;) out += static_cast<char>(c);
  const int status = pipe != nullptr ? pclose(pipe) : -1;
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out, "", ""};
}

// A fake bridge with a scripted site, and TMPDIR in a fresh directory, so that a temporary
// file left behind shows, and its mode while the run goes can be seen.
class ListingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/tessivar-test-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
    fs::create_directory(dir_ + "/tmp");
    if (const char* old = std::getenv("TMPDIR")) oldTmpdir_ = old;
    setenv("TMPDIR", (dir_ + "/tmp").c_str(), 1);
    settings_.samPort = bridge_.port();
    settings_.outputPath = dir_ + "/list.txt";
    bridge_.on("NAMING LOOKUP",
               "NAMING REPLY RESULT=OK NAME=x VALUE=" + velqor_test::testKeyPub() + "\n");
  }

  void TearDown() override {
    oldTmpdir_ ? setenv("TMPDIR", oldTmpdir_->c_str(), 1) : unsetenv("TMPDIR");
    fs::remove_all(dir_);
  }

  // The site takes the request, then sends the pieces of `response` between "|" each in a
  // receive of its own (it waits until the run has read each one) and closes the stream,
  // unless `keepOpen`. Once the run
  // has read the response's head, and so made its copy of the page, the site notes the modes
  // of the files in TMPDIR.
  void serveSite(const std::string& response, bool keepOpen = false) {
    std::vector<std::string> pieces;
    std::istringstream in(response);
    for (std::string piece; std::getline(in, piece, '|');) pieces.push_back(piece);
    const std::size_t headEnd = pieces[0].find("\r\n\r\n");
    if (headEnd != std::string::npos) {
      pieces.insert(pieces.begin() + 1, pieces[0].substr(headEnd + 4));
      pieces[0].resize(headEnd + 4);
    }
    const auto hold = keepOpen ? bridge_.makeGate() : nullptr;
    bridge_.on("STREAM CONNECT", [=](BridgeConnection& conn, const std::string&) {
      conn.send("STREAM STATUS RESULT=OK\n");
      for (std::string line = "-"; !line.empty() && line != "\r\n";) {
        line = conn.readLine();
        std::lock_guard<std::mutex> lock(mutex_);
        request_ += line;
      }
      conn.sendSplit({pieces[0], ""});
      std::error_code gone;  // the test may have ended and removed the directory
      for (const auto& entry : fs::directory_iterator(dir_ + "/tmp", gone)) {
        struct stat info {};
        lstat(entry.path().c_str(), &info);
        std::lock_guard<std::mutex> lock(mutex_);
        modes_.push_back(info.st_mode);
      }
      conn.sendSplit(std::vector<std::string>(pieces.begin() + 1, pieces.end()));
      if (hold) hold->wait();
      conn.close();
    });
  }

  Outcome run(std::ostream* out = nullptr) {
    std::ostringstream captured, log, err;
    const int status = runDirectoryListing(settings_, out ? *out : captured, log, err);
    return {status, captured.str(), err.str(), log.str()};
  }

  std::string request() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(request_, "");
  }
  std::vector<unsigned> modes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(modes_, {});
  }

  bool tmpIsEmpty() const { return fs::is_empty(dir_ + "/tmp"); }
  long entries() const { return std::distance(fs::directory_iterator(dir_), {}); }
  std::string sam() const { return " --sam=127.0.0.1:" + std::to_string(bridge_.port()); }

  std::string dir_;
  std::optional<std::string> oldTmpdir_;
  RunSettings settings_;
  std::mutex mutex_;
  std::string request_;
  std::vector<unsigned> modes_;
  velqor_test::FakeBridge bridge_;  // last, so its threads end before what its handlers use
};

TEST_F(ListingTest, ListsTheRowsOfThePageOrFailsCleanly) {
  struct Case {
    const char* name;
    std::string response;  // "|" marks where the site waits for the run to read what came
    bool keepOpen;
    std::string out, file, err;
    bool terminal = false;  // standard error is one
  };
  const std::string key = velqor_test::testKeyPub();  // 524 characters, as on a real page
  const std::string greedy =  // group 1 runs from the first row's host to the last row's
      "one.i2p/?i2paddresshelper=X1\">a</a> <a href=\"http://one2.i2p/\">b</a></td><td>about "
      "one.i2p</td></tr><tr><td><a href=\"http://two.i2p";
  const std::string ok = "HTTP/1.1 200 OK\r\n\r\n";  // a body that runs to the stream's end
  // Zero and high bytes inside rows, and a receive that begins with a zero byte.
  const std::string zeroHost("zero\0host.i2p", 13), binaryHelper("\xff\x01\0~", 4);
  std::string rows, rowsOut, rowsFile;  // more than the tool's 64 KiB output batches
  for (int i = 0; i < 20000; ++i) {
    const std::string n = std::to_string(i);
    rows += row("h" + n + ".i2p", "H" + n, "g" + n + ".i2p") + "\r\n";
    rowsOut += "h" + n + ".i2p; ";
    rowsFile += listed("h" + n + ".i2p", "H" + n, "g" + n + ".i2p");
  }
  // Then 10 MB of row openings that never close on one line: a backtracking matcher's worst case.
  const std::string opening =
      "<td><a href=\"http://h/?i2paddresshelper=v\">a</a> <a href=\"http://";
  for (const std::size_t end = rows.size() + (10 << 20); rows.size() < end;) rows += opening;
  const std::string whole = row("whole.i2p", "W", "w2.i2p") + "\n";
  const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  const std::vector<Case> cases = {
      {"rows, the stream kept open after the body",
       withLength("<table>\r\n" + row("alpha.i2p", key, "alpha2.b32.i2p") +
                  "\r\n<tr><td>not a row</td></tr>\r\n" + row("beta.i2p", "Zm9v~-", "beta2.i2p")),
       true, "alpha.i2p; beta.i2p; \n2 eepsites\n",
       listed("alpha.i2p", key, "alpha2.b32.i2p") + listed("beta.i2p", "Zm9v~-", "beta2.i2p"), ""},
      {"no rows", withLength("<p>nothing listed today</p>\n"), false, "\n0 eepsites\n", "", ""},
      {"a row split across receives",
       ok + "<tr><td><a href=\"http://split.i2p/?i2paddre|sshelper=SPLIT\">a</a> <a "
            "href=\"http://split2.i2p/\">b</a></td></tr>\n",
       false, "split.i2p; \n1 eepsites\n", "split.i2p  SPLIT  split2.i2p\r\n", ""},
      {"two rows on one line",
       withLength(row("one.i2p", "X1", "one2.i2p") + row("two.i2p", "X2", "two2.i2p") + "\n"),
       false, greedy + "; \n1 eepsites\n", greedy + "  X2  two2.i2p\r\n", ""},
      {"chunk boundaries inside a row, the stream kept open",
       chunked + chunk("<tr><td><a href=\"ht") + "|" +
           chunk("tp://chunk.i2p/?i2paddresshelper=CH\">a</a> <a href=\"http://chunk2.i2p/\">") +
           chunk("b</a></td></tr>\n") + "|0\r\n\r\n",
       true, "chunk.i2p; \n1 eepsites\n", "chunk.i2p  CH  chunk2.i2p\r\n", ""},
      {"zero and high bytes, and a row broken by a carriage return",
       ok + "\x01junk\n" + row(zeroHost, binaryHelper, "z2.i2p") + "\n|" + std::string(1, '\0') +
           "\xff\n" + row("plain.i2p", "P", "p2.i2p") + "\r\n" + row("cr.i2p", "C\rR", "c.i2p"),
       false, zeroHost + "; plain.i2p; \n2 eepsites\n",
       listed(zeroHost, binaryHelper, "z2.i2p") + listed("plain.i2p", "P", "p2.i2p"), ""},
      {"20 000 rows, on a terminal", withLength(rows), false, rowsOut + "\n20000 eepsites\n",
       rowsFile, "", true},
      {"a close in the middle of a row", ok + whole + "|" + whole.substr(0, 40), false,
       "whole.i2p; \n1 eepsites\n", listed("whole.i2p", "W", "w2.i2p"), ""},
      {"404", "HTTP/1.1 404 Not Found\r\nContent-Length: 30\r\n\r\n" + row("g.i2p", "G", "h.i2p"),
       false, "", "",
       "tessivar: the site answered with HTTP status 404 Not Found\n"
       "Error: Error HTTP status 404 Not Found\n"},
      {"a body cut short",
       "HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n" + row("cut.i2p", "C", "c.i2p") + "\n",
       false, "", "",
       "tessivar: the site's reply is not a whole HTTP response: HTTP response incomplete body\n"
       "Error: Error HTTP response incomplete body\n"},
  };
  // OUTPUT_FILE is a symbolic link: the file it names takes the rows, and the link stays.
  std::ofstream(dir_ + "/listing.txt").close();
  fs::create_symlink("listing.txt", dir_ + "/list.txt");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    serveSite(c.response, c.keepOpen);
    const std::string before = contentsOf(dir_ + "/list.txt");
    settings_.progressOnTerminal = c.terminal;
    const auto start = std::chrono::steady_clock::now();
    const Outcome result = run();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(result.status, c.err.empty() ? kExitSuccess : kExitRunFailed);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(contentsOf(dir_ + "/list.txt"), c.err.empty() ? c.file : before) << "a failed run";
    EXPECT_EQ(request(), "GET / HTTP/1.1\r\nHost: tessivar-index.i2p\r\nConnection: close\r\n\r\n");
    EXPECT_TRUE(tmpIsEmpty() && entries() == 3 && fs::is_symlink(dir_ + "/list.txt"))
        << "temporary file left behind, or the link replaced";
    const std::vector<unsigned> seen = modes();  // a failed run may have removed it already
    if (!c.err.empty()) continue;
    EXPECT_EQ(seen, std::vector<unsigned>{S_IFREG | 0600}) << "the page's copy while read";
    if (c.terminal) {  // a line rewritten at most ten times a second, and once a second ticking
      const auto rewrites = std::count(result.log.begin(), result.log.end(), '\r');
      EXPECT_TRUE(rewrites > 0 && rewrites <= 11 * took.count() + 5) << rewrites;
      continue;
    }
    // Not on a terminal, the progress lines are fixed lines, one per step.
    const std::size_t temp = result.log.find("Temp file: " + dir_ + "/tmp/tessivar-");
    ASSERT_NE(temp, std::string::npos) << result.log;
    EXPECT_EQ(result.log.substr(0, temp),
              "Establish a tunnel ...\nNaming lookup ...\nConnect to tessivar-index.i2p ...\n"
              "Write request ...\nRead result ...\n");
    EXPECT_EQ(result.log.substr(result.log.find('\n', temp)), "\nEvaluate result ...\n");
  }
}

TEST_F(ListingTest, EveryFailureSaysItsCauseBeforeTheErrorLine) {
  struct Case {
    const char* name;
    std::function<void()> arrange;  // on bridge_ and settings_
    std::string cause, errorLine;   // the cause: its start
  };
  uint16_t deadPort = 0;  // refuses connections while the test runs
  const int dead = velqor_test::loopbackSocket(deadPort, -1);
  const auto never = bridge_.makeGate();
  // Answers `prefix` with `first`, then nothing, or with `trickle` a byte every 50 ms for 5 s.
  const auto hold = [this, never](const char* prefix, const std::string& first = "",
                                  bool trickle = false) {
    bridge_.on(prefix, [never, first, trickle](BridgeConnection& conn, const std::string&) {
      conn.send(first);
      for (int i = 0; trickle && i < 100 && conn.send("x"); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      trickle ? conn.close() : never->wait();
    });
  };
  const std::string limit = "tessivar: the time limit of 0.2 s ran out while ";
  const std::vector<Case> cases = {
      {"nothing listens", [&] { settings_.samPort = deadPort; },
       "tessivar: cannot connect to the SAM bridge at 127.0.0.1:" + std::to_string(deadPort) +
           ": Connection refused (is the router running, with its SAM bridge enabled?)",
       "Error namingLookup"},
      {"a host name that does not resolve", [&] { settings_.samHost = "no-such..host"; },
       "tessivar: the SAM bridge's host name 'no-such..host' does not resolve: ",
       "Error namingLookup"},
      {"a refused session",
       [&] {
         bridge_.on("SESSION CREATE",
                    "SESSION STATUS RESULT=I2P_ERROR MESSAGE=\"Unknown STYLE\"\n");
       },
       "tessivar: the router refused the session: RESULT=I2P_ERROR MESSAGE=\"Unknown STYLE\"",
       "Error namingLookup"},
      {"an unknown site",  // INVALID_KEY in the binary's test
       [&] { bridge_.on("NAMING LOOKUP", "NAMING REPLY RESULT=KEY_NOT_FOUND NAME=x\n"); },
       "tessivar: the router's address book does not know tessivar-index.i2p; give the site's "
       ".b32.i2p address with --site",
       "Error namingLookup"},
      {"an unreachable site",
       [&] { bridge_.on("STREAM CONNECT", "STREAM STATUS RESULT=CANT_REACH_PEER\n"); },
       "tessivar: the stream to tessivar-index.i2p failed: STREAM CONNECT refused by the bridge: "
       "RESULT=CANT_REACH_PEER",
       "Error Connection Result"},
      {"no session in time", [&] { hold("SESSION CREATE"); }, limit + "creating the session",
       "Error namingLookup"},
      {"no lookup in time", [&] { hold("NAMING LOOKUP"); }, limit + "looking up tessivar-index.i2p",
       "Error namingLookup"},
      {"no stream in time", [&] { hold("STREAM CONNECT"); },
       limit + "connecting to tessivar-index.i2p", "Error Connection Result"},
      {"no whole page in time, though it trickles in",  // each read far within the limit
       [&] { hold("STREAM CONNECT", "STREAM STATUS RESULT=OK\nHTTP/1.1 200 OK\r\n\r\n<", true); },
       limit + "reading the page", "Error reading result"},
      {"a site that sends nothing",
       [&] {
         settings_.stallTimeout = std::chrono::milliseconds(200);
         settings_.timeout = std::chrono::seconds(60);
         hold("STREAM CONNECT", "STREAM STATUS RESULT=OK\n");
       },
       "tessivar: the site sent nothing for 0.2 s after the stream opened (is it down? see "
       "--stall-timeout)",
       "Error reading result"},
      {"a page that stops coming",
       [&] {
         settings_.stallTimeout = std::chrono::milliseconds(200);
         settings_.timeout = std::chrono::seconds(60);
         hold("STREAM CONNECT", "STREAM STATUS RESULT=OK\nHTTP/1.1 200 OK\r\n\r\n<html>");
       },
       "tessivar: the page stopped coming: nothing for 0.2 s after 25 bytes (see "
       "--stall-timeout)",
       "Error reading result"},
      {"a reset in the middle of the page",
       [&] {
         bridge_.on("STREAM CONNECT", [](BridgeConnection& conn, const std::string&) {
           conn.sendSplit({"STREAM STATUS RESULT=OK\nHTTP/1.1 200 OK\r\n\r\n" +
                               row("cut.i2p", "C", "c2.i2p") + "\n",
                           ""});
           conn.reset();
         });
       },
       "tessivar: reading the page failed: ", "Error reading result"},
      {"an output file that cannot be made",
       [&] { settings_.outputPath = dir_ + "/missing/list.txt"; },
       "tessivar: cannot open the output file " + dir_ +
           "/missing/list.txt: No such file or directory",
       "error ofstream 1 - Can not open file!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    settings_ = RunSettings();
    settings_.samPort = bridge_.port();
    settings_.outputPath = dir_ + "/list.txt";
    settings_.timeout = std::chrono::milliseconds(200);
    serveSite(withLength(row("a.i2p", "A", "a2.i2p") + "\n"));
    bridge_.on("SESSION CREATE",
               "SESSION STATUS RESULT=OK DESTINATION=" + velqor_test::testKeyPriv() + "\n");
    bridge_.on("NAMING LOOKUP",
               "NAMING REPLY RESULT=OK NAME=x VALUE=" + velqor_test::testKeyPub() + "\n");
    const int connections = bridge_.connectionCount();
    c.arrange();
    const Outcome result = run();
    EXPECT_EQ(result.status, kExitRunFailed);
    EXPECT_EQ(result.out, "");
    const std::size_t errorLine = result.err.rfind("\nError: ");
    ASSERT_NE(errorLine, std::string::npos) << result.err;
    EXPECT_EQ(result.err.substr(errorLine), "\nError: " + c.errorLine + "\n");
    EXPECT_EQ(result.err.substr(0, c.cause.size()), c.cause) << result.err;
    EXPECT_EQ(result.err.find('\n'), errorLine) << "one cause line, then the error line";
    EXPECT_TRUE(tmpIsEmpty() && entries() == 1) << "a file left, or an output file made";
    if (c.errorLine == "error ofstream 1 - Can not open file!") {
      EXPECT_EQ(bridge_.connectionCount(), connections) << "the bridge was reached";
    }
  }

  // Standard output and the page's copy that cannot be written (a full disk).
  settings_.outputPath = dir_ + "/list.txt";
  settings_.timeout = std::chrono::seconds(10);
  serveSite(withLength(row("lost.i2p", "L", "lost2.i2p") + "\n"));
  std::ostream unwritable(nullptr);
  EXPECT_EQ(run(&unwritable).err,
            "tessivar: cannot write standard output\nError: error writing standard output\n");
  EXPECT_FALSE(fs::exists(dir_ + "/list.txt")) << "made by a failed run";
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);  // a failed write, not a dead process
  rlimit small = old;
  small.rlim_cur = 1 << 16;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  serveSite(withLength(std::string(1 << 18, 'x')));
  const Outcome full = run();
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_NE(full.err.find("File too large\nError: error writing temp file\n"), std::string::npos)
      << full.err;
  EXPECT_TRUE(tmpIsEmpty());
  ::close(dead);
}

TEST(CommandLineTest, TheFirstHelpVersionOrErrorDecides) {
  const auto parse = [](std::vector<const char*> arguments) {
    arguments.insert(arguments.begin(), "tessivar");
    return CommandLine(static_cast<int>(arguments.size()), arguments.data());
  };
  using Action = CommandLine::Action;
  EXPECT_EQ(parse({"out.txt", "--help", "--bogus"}).action(), Action::kShowHelp);
  EXPECT_EQ(parse({"-h"}).action(), Action::kShowHelp);
  EXPECT_EQ(parse({"--version", "--bogus"}).action(), Action::kShowVersion);
  EXPECT_EQ(parse({"--", "-odd-name", "--help"}).action(), Action::kRun);
  const CommandLine named = parse({"--sam=i2pd:7656", "--timeout=2.5"});
  EXPECT_EQ(named.settings().samHost, "i2pd");
  EXPECT_EQ(named.settings().timeout, std::chrono::milliseconds(2500));
  EXPECT_EQ(parse({}).settings().timeout, std::chrono::seconds(600));
  const CommandLine checking =
      parse({"--jobs=256", "--check-timeout=2.5", "--format=json", "--check", "--stall-timeout=0"});
  EXPECT_EQ(checking.action(), Action::kRun);
  EXPECT_EQ(checking.settings().jobs, 256);
  EXPECT_EQ(checking.settings().checkTimeout, std::chrono::milliseconds(2500));
  EXPECT_EQ(checking.settings().format, CheckFormat::kJson);
  EXPECT_EQ(checking.settings().stallTimeout.count(), 0);
  EXPECT_EQ(parse({"--format=tsv"}).error(), "--format needs --check");
  for (const char* bad : {"--bogus",
                          "-",
                          "--sam",
                          "--sam=127.0.0.1",
                          "--sam=:7656",
                          "--sam=127.0.0.1:0",
                          "--sam=127.0.0.1:65536",
                          "--sam=127.0.0.1:76x",
                          "--sam=a b:7656",
                          "--site=",
                          "--site=a.i2p\r\nX:y",
                          "--i2cp-options=a=1\nSESSION",
                          "--timeout=",
                          "--timeout=-1",
                          "--timeout=1.",
                          "--timeout=1e3",
                          "--timeout=ten",
                          "--jobs=0",
                          "--jobs=257",
                          "--jobs=",
                          "--jobs=+3",
                          "--format=xml",
                          "--check-timeout=-1",
                          "--stall-timeout=ten"}) {
    const CommandLine line = parse({bad, "--help"});
    EXPECT_EQ(line.action(), Action::kUsageError) << bad;
    EXPECT_FALSE(line.error().empty()) << bad;
  }
}

TEST_F(ListingTest, TheBinaryTakesItsArgumentsAndExitsWithTheOutcome) {
  EXPECT_EQ(runTessivar("--help").out, CommandLine::help());
  EXPECT_EQ(runTessivar("--version").out, "tessivar " TESSIVAR_VERSION "\n");
  const Outcome usage = runTessivar("--bogus 2>&1 >/dev/null");  // standard error only
  EXPECT_EQ(usage.status, 2);
  EXPECT_EQ(usage.out, "tessivar: unknown option '--bogus'\n" + CommandLine::usage());

  serveSite("HTTP/1.1 200 OK\r\n\r\n" + row("b.i2p", "B", "b2.i2p") + "\n");
  const mode_t mask = umask(027);  // the listing gets the mode of a file made by an open()
  const Outcome ok = runTessivar(
      dir_ + "/out.txt " + dir_ + "/ignored.txt --sam=localhost:" + std::to_string(bridge_.port()) +
      " --site=x%n%s.i2p '--i2cp-options=inbound.length=0' --timeout=0 2>/dev/null");
  umask(mask);
  EXPECT_EQ(ok.status, 0);
  EXPECT_EQ(ok.out, "b.i2p; \n1 eepsites\n");
  EXPECT_EQ(contentsOf(dir_ + "/out.txt"), "b.i2p  B  b2.i2p\r\n");
  struct stat made {};
  EXPECT_TRUE(stat((dir_ + "/out.txt").c_str(), &made) == 0 && (made.st_mode & 0777) == 0640);
  // Format directives in the name are written as they stand.
  EXPECT_EQ(bridge_.linesStartingWith("NAMING LOOKUP").at(0), "NAMING LOOKUP NAME=x%n%s.i2p\n");
  EXPECT_NE(request().find("\r\nHost: x%n%s.i2p\r\n"), std::string::npos);
  const std::string create = bridge_.linesStartingWith("SESSION CREATE").at(0);
  EXPECT_NE(create.find(" inbound.nickname=tessivar inbound.length=0\n"), std::string::npos);

  bridge_.on("NAMING LOOKUP", "NAMING REPLY RESULT=INVALID_KEY NAME=x\n");
  const Outcome failed = runTessivar(sam() + " 2>&1");
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(failed.out.substr(failed.out.rfind("\nError: ")), "\nError: Error namingLookup\n");
  EXPECT_NE(failed.out.find("know tessivar-index.i2p; give the site's .b32.i2p"),
            std::string::npos);
  EXPECT_TRUE(tmpIsEmpty());
}

TEST_F(ListingTest, TheBinaryRemovesItsPrivateTemporaryFileWhenTerminated) {
  serveSite("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n<html>", true);
  // The shell prints its process number, which tessivar keeps by exec.
  FILE* pipe =
      popen(("echo $$; exec " TESSIVAR_BINARY + sam() + " " + dir_ + "/out.txt 2>&1").c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char line[4096];
  ASSERT_NE(std::fgets(line, sizeof line, pipe), nullptr);
  const pid_t pid = static_cast<pid_t>(std::atol(line));
  std::string path;
  while (path.empty() && std::fgets(line, sizeof line, pipe) != nullptr) {
    if (std::strncmp(line, "Temp file: ", 11) == 0) path.assign(line + 11, std::strlen(line) - 12);
  }
  ASSERT_EQ(path.rfind(dir_ + "/tmp/tessivar-", 0), 0u) << path;
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  const int status = pclose(pipe);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  EXPECT_TRUE(tmpIsEmpty() && entries() == 1);  // nor the output file's
}

// Runs the binary on a terminal of its own with `arguments`, standard output there too or,
// unless `outputThere`, on /dev/null; `onText` sees all shown so far after each read. Returns
// what the terminal got, which turns "\n" into "\r\n", and sets `exitStatus`.
std::string onTerminal(std::vector<std::string> arguments, bool outputThere,
                       const std::function<void(const std::string&)>& onText, int& exitStatus) {
  arguments.insert(arguments.begin(), TESSIVAR_BINARY);
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  int terminal = -1;
  const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
  if (pid == 0) {
    if (!outputThere) dup2(open("/dev/null", O_WRONLY), STDOUT_FILENO);
    execv(TESSIVAR_BINARY, argv.data());
    _exit(127);
  }
  std::string shown;
  char buffer[4096];
  for (ssize_t n; pid > 0 && (n = ::read(terminal, buffer, sizeof buffer)) > 0;) {
    shown.append(buffer, static_cast<std::size_t>(n));
    onText(shown);
  }
  exitStatus = -1;
  if (pid > 0 && waitpid(pid, &exitStatus, 0) == pid && WIFEXITED(exitStatus)) {
    exitStatus = WEXITSTATUS(exitStatus);
  }
  ::close(terminal);
  return shown;
}

// On a terminal the waits show that they are alive: the seconds of the session's creation and
// the bytes received, each updated in place and its line finished at the end of its step.
TEST_F(ListingTest, OnATerminalTheWaitsShowTheirProgressInPlace) {
  const std::string page = withLength(row("tty.i2p", "T", "t2.i2p") + "\n");
  serveSite(page);
  const auto created = bridge_.makeGate();
  bridge_.on("SESSION CREATE", [created](BridgeConnection& conn, const std::string&) {
    created->wait();  // until the terminal shows the first second
    conn.send("SESSION STATUS RESULT=OK DESTINATION=" + velqor_test::testKeyPriv() + "\n");
  });
  // Standard output elsewhere: only standard error decides.
  int status = 0;
  const std::string shown = onTerminal(
      {sam().substr(1)}, false,
      [&](const std::string& text) {
        if (text.find(" ... 1 s") != std::string::npos) created->open();
      },
      status);
  EXPECT_EQ(status, 0) << shown;
  const std::size_t tunnel = shown.find("Establish a tunnel ...\rEstablish a tunnel ... 1 s");
  const std::size_t lookup = shown.find("\r\nNaming lookup ...");
  const std::size_t bytes = shown.find("Received 0 bytes\r");
  const std::size_t received =
      shown.find("\rReceived " + std::to_string(page.size()) + " bytes\r\nEvaluate");
  EXPECT_NE(tunnel, std::string::npos) << shown;
  EXPECT_LT(tunnel, lookup) << shown;
  EXPECT_LT(bytes, received) << shown;
  EXPECT_NE(received, std::string::npos) << shown;
}

// The sockets of this process connected to `port`: at the bridge's port, the tool's own.
int socketsTo(uint16_t port) {
  int count = 0;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    if (getpeername(std::atoi(entry.path().filename().c_str()), reinterpret_cast<sockaddr*>(&peer),
                    &length) == 0 &&
        peer.sin_family == AF_INET && ntohs(peer.sin_port) == port) {
      ++count;
    }
  }
  return count;
}

// A valid public destination of its own for each `n`: the test key's with its first character
// changed.
std::string destination(int n) {
  return std::string(1, static_cast<char>('A' + n)) + velqor_test::testKeyPub().substr(1);
}

// The fields of a report line after the host, the time of the first byte shown as "T".
std::string fieldsOf(const std::string& line) {
  std::vector<std::string> fields;
  std::istringstream in(line);
  for (std::string field; std::getline(in, field, '\t');) fields.push_back(field);
  if (fields.size() != 6) return "(not 6 fields) " + line;
  if (fields[3].find_first_not_of("0123456789") == std::string::npos) fields[3] = "T";
  return fields[1] + "\t" + fields[2] + "\t" + fields[3] + "\t" + fields[4] + "\t" + fields[5];
}

// The same fields of a JSON Lines object.
std::string fieldsOf(const nlohmann::json& site) {
  const auto text = [&site](const char* key) {
    return site.at(key).is_null() ? std::string("-") : site.at(key).get<std::string>();
  };
  return text("state") + "\t" +
         (site.at("status").is_null() ? "-" : std::to_string(site.at("status").get<int>())) + "\t" +
         (site.at("time_ms").is_number_unsigned() ? "T" : "-") + "\t" + text("via") + "\t" +
         text("cause");
}

// A directory page of eepsites behind the fake bridge: a STREAM CONNECT to the directory gets
// page_, one to any other destination is answered by that destination's entry in sites_
// (INVALID_KEY when it has none).
class CheckTest : public ListingTest {
 protected:
  using Site = std::function<void(BridgeConnection&)>;

  void SetUp() override {
    ListingTest::SetUp();
    settings_.check = true;
    settings_.checkTimeout = std::chrono::milliseconds(500);
    bridge_.on("STREAM CONNECT", [this](BridgeConnection& conn, const std::string& line) {
      const std::size_t at = line.find(" DESTINATION=") + 13;
      const std::string destination = line.substr(at, line.find(' ', at) - at);
      Site site = status("INVALID_KEY");
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (destination == velqor_test::testKeyPub()) site = replies(withLength(page_), false);
        if (sites_.count(destination) != 0) site = sites_[destination];
      }
      site(conn);
    });
  }

  static std::string requestOf(BridgeConnection& conn) {
    std::string request;
    for (std::string line = "-"; !line.empty() && line != "\r\n";)
      request += line = conn.readLine();
    return request;
  }
  static Site status(const std::string& result) {
    return [result](BridgeConnection& conn) {
      conn.send("STREAM STATUS RESULT=" + result + "\n");
      conn.close();
    };
  }
  // Takes the request (noted in requests_), sends the pieces of `reply` between "|" each in a
  // receive of its own, and, when `waits`, ends the stream only once the run has closed it.
  Site replies(const std::string& reply, bool waits = true) {
    return [this, reply, waits](BridgeConnection& conn) {
      conn.send("STREAM STATUS RESULT=OK\n");
      const std::string request = requestOf(conn);
      std::vector<std::string> pieces;
      std::istringstream in(reply);
      for (std::string piece; std::getline(in, piece, '|');) pieces.push_back(piece);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_ += request;
      }
      conn.sendSplit(pieces);
      if (waits) conn.readAll();
      conn.close();
    };
  }
  // The page's rows, each (host, helper, host2).
  void list(const std::vector<std::vector<std::string>>& rows) {
    std::lock_guard<std::mutex> lock(mutex_);
    page_.clear();
    for (const auto& r : rows) page_ += row(r[0], r[1], r[2]) + "\n";
  }

  std::string page_;
  std::map<std::string, Site> sites_;
  std::string requests_;
};

TEST_F(CheckTest, ReportsEverySiteInTabsAndInJson) {
  struct Case {
    std::string host, helper, host2;
    std::string reached;  // the destination the site is reached by, "" for none of its own
    Site site;
    std::string fields;          // state, status, time, via, cause
    std::string shownHost = "";  // in the tab-separated line, when not `host`
    std::string jsonHost = "";   // in the JSON, when not `host`
  };
  const std::string b32 = SAM::b32Address(destination(9));
  const std::string hostile = "ev\x01il\x1b[2J\t\"\\\xff.i2p";
  const std::vector<Case> cases = {
      {"ok.i2p", destination(1), "ok2.i2p", destination(1), replies("HTTP/1.1 200 OK\r\n\r\nhi"),
       "up\t200\tT\thelper\t-"},
      {"missing.i2p", destination(2), "m.i2p", destination(2),
       replies("HTTP/1.0 404 Not Found\r\n\r\n"), "up\t404\tT\thelper\t-"},
      {"gone.i2p", destination(3), "g.i2p", destination(3), status("CANT_REACH_PEER"),
       "down\t-\t-\thelper\tunreachable (no lease set found)"},
      {"lost.i2p", destination(4), "l.i2p", destination(4), status("PEER_NOT_FOUND"),
       "down\t-\t-\thelper\tunreachable (peer not found)"},
      {"unknown.i2p", "not-a-destination", "u.i2p", "", nullptr,
       "down\t-\t-\tname\taddress unknown"},
      {"private.i2p", velqor_test::testKeyPriv(), b32, b32, replies("HTTP/1.1 2|00 OK\r|\n"),
       "up\t200\tT\tb32\t-"},
      {"closed.i2p", destination(5), "c.i2p", destination(5),
       [](BridgeConnection& conn) {
         conn.send("STREAM STATUS RESULT=OK\n");
         conn.close();
       },
       "down\t-\t-\thelper\trefused (the stream closed without a reply)"},
      {"silent.i2p", destination(6), "s.i2p", destination(6), replies(""),
       "down\t-\t-\thelper\tno reply within 0.5 s"},
      {"held.i2p", destination(10), "h.i2p", destination(10),  // no STREAM STATUS comes
       [](BridgeConnection& conn) { conn.readAll(); }, "down\t-\t-\thelper\tno reply within 0.5 s"},
      {"ssh.i2p", destination(7), "x.i2p", destination(7), replies("SSH-2.0-OpenSSH_9.2\r\n"),
       "up\t-\tT\thelper\tthe reply is not HTTP"},
      {hostile, destination(8), "e.i2p", destination(8), replies("HTTP/1.1 200 OK\r\n\r\n"),
       "up\t200\tT\thelper\t-", "ev\\x01il\\x1b[2J\\t\"\\\\\\xff.i2p",
       "ev\x01il\x1b[2J\t\"\\\xc3\xbf.i2p"},
      {"a b.i2p", "x", "y z", "", nullptr, "down\t-\t-\t-\tno usable address in the row"},
  };
  std::vector<std::vector<std::string>> rows;
  for (const Case& c : cases) {
    rows.push_back({c.host, c.helper, c.host2});
    if (c.site) sites_[c.reached] = c.site;
  }
  list(rows);
  for (const CheckFormat format : {CheckFormat::kTsv, CheckFormat::kJson}) {
    SCOPED_TRACE(format == CheckFormat::kTsv ? "tab-separated" : "JSON Lines");
    settings_.format = format;
    const Outcome result = run();
    EXPECT_EQ(result.status, kExitSuccess) << result.err;
    EXPECT_EQ(socketsTo(bridge_.port()), 0) << "a descriptor left open";
    std::istringstream lines(result.out);
    std::string line;
    for (const Case& c : cases) {
      ASSERT_TRUE(std::getline(lines, line)) << result.out;
      if (format == CheckFormat::kTsv) {
        EXPECT_EQ(line.substr(0, line.find('\t')), c.shownHost.empty() ? c.host : c.shownHost);
        EXPECT_EQ(fieldsOf(line), c.fields) << c.host;
      } else {
        const nlohmann::json site = nlohmann::json::parse(line);
        EXPECT_EQ(site.at("host").get<std::string>(), c.jsonHost.empty() ? c.host : c.jsonHost);
        EXPECT_EQ(fieldsOf(site), c.fields) << c.host;
      }
    }
    if (format == CheckFormat::kJson) {
      ASSERT_TRUE(std::getline(lines, line));
      EXPECT_EQ(nlohmann::json::parse(line),
                nlohmann::json::parse(R"({"eepsites":12,"answered":5,"not_checked":0})"));
    } else {
      EXPECT_NE(result.log.find("\n12 eepsites, 5 answered\n"), std::string::npos) << result.log;
    }
    EXPECT_FALSE(std::getline(lines, line)) << line;
    const std::string listed = contentsOf(dir_ + "/list.txt");
    EXPECT_EQ(std::count(listed.begin(), listed.end(), '\n'), 12) << "the rows in the file";
  }
  // The Host header is the row's host when it is a host name, else the address connected to.
  std::lock_guard<std::mutex> lock(mutex_);
  EXPECT_NE(requests_.find("GET / HTTP/1.1\r\nHost: private.i2p\r\nConnection: close\r\n"),
            std::string::npos);
  EXPECT_NE(requests_.find("\r\nHost: " + SAM::b32Address(destination(8)) + "\r\n"),
            std::string::npos)
      << requests_;
}

// No more probes at once than --jobs, and as many (the first sites answer only once three
// are open); the run's own limit and a session that fails end the check, after the report.
TEST_F(CheckTest, KeepsItsBoundsAndFailsOnlyWhenTheRunCannotGoOn) {
  int open = 0, most = 0;  // probes the sites have taken and not answered yet
  const auto allOpen = bridge_.makeGate();
  const Site counted = [&, allOpen](BridgeConnection& conn) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      most = std::max(most, ++open);
      if (most == 3) allOpen->open();
    }
    allOpen->wait();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      --open;  // before the answer, which lets the run start the next probe
    }
    replies("HTTP/1.1 200 OK\r\n\r\n")(conn);
  };
  struct Case {
    const char* name;
    std::function<void()> arrange;  // on settings_, given the sites' count
    std::vector<Site> sites;
    std::string report;  // each line's state and cause
    std::string err;     // the end of standard error
  };
  const std::string up = "up helper -\n";
  const std::vector<Case> cases = {
      {"twelve sites, three at once", [&] { settings_.jobs = 3; }, std::vector<Site>(12, counted),
       [&] {
         std::string all;
         for (int i = 0; i < 12; ++i) all += up;
         return all;
       }(),
       ""},
      {"the run's limit",
       [&] {
         settings_.jobs = 1;
         settings_.timeout = std::chrono::seconds(2);
         settings_.checkTimeout = std::chrono::milliseconds(0);
       },
       {replies(""), replies("")},
       "down helper no reply before the run's time limit ran out\n"
       "unchecked - not checked: the run's time limit ran out\n",
       "tessivar: the time limit of 2 s ran out while checking the eepsites (see --timeout)\n"
       "Error: Error checking eepsites\n"},
      {"a session that fails",
       [&] { settings_.jobs = 1; },
       {status("I2P_ERROR"), replies("HTTP/1.1 200 OK\r\n\r\n")},
       "down helper the router refused the stream: RESULT=I2P_ERROR\n"
       "unchecked - not checked: the SAM session failed\n",
       "tessivar: the SAM session failed while checking the eepsites: STREAM CONNECT refused by "
       "the bridge: RESULT=I2P_ERROR\nError: Error checking eepsites\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::vector<std::string>> rows;
    for (std::size_t i = 0; i < c.sites.size(); ++i) {
      rows.push_back({"s" + std::to_string(i) + ".i2p", destination(static_cast<int>(i)), "x.i2p"});
      sites_[destination(static_cast<int>(i))] = c.sites[i];
    }
    list(rows);
    c.arrange();
    const std::string before = contentsOf(dir_ + "/list.txt");
    const Outcome result = run();
    std::string report;  // state, via and cause of each line
    std::istringstream lines(result.out);
    for (std::string line; std::getline(lines, line);) {
      const std::string fields = fieldsOf(line);  // state, status, time, via, cause
      std::size_t via = 0;
      for (int tab = 0; tab < 3; ++tab) via = fields.find('\t', via) + 1;
      report += fields.substr(0, fields.find('\t')) + " " + fields.substr(via) + "\n";
    }
    std::replace(report.begin(), report.end(), '\t', ' ');
    EXPECT_EQ(report, c.report);
    EXPECT_NE(result.log.find(c.err.empty() ? "12 answered\n" : " 0 answered, 1 not checked\n"),
              std::string::npos)
        << result.log;
    EXPECT_EQ(contentsOf(dir_ + "/list.txt") == before, !c.err.empty())
        << "replaced by a failed run";
    EXPECT_EQ(result.status, c.err.empty() ? kExitSuccess : kExitRunFailed);
    EXPECT_EQ(result.err, c.err);
    EXPECT_EQ(socketsTo(bridge_.port()), 0) << "a descriptor left open";
  }
  EXPECT_EQ(most, 3);
}

// On a terminal --check shows a table, each row at the start of a line of its own while the
// progress line makes way for it, then the summary.
TEST_F(CheckTest, OnATerminalTheTableComesBetweenTheProgressLines) {
  sites_[destination(1)] = replies("HTTP/1.1 200 OK\r\n\r\n");
  list({{"tty.i2p", destination(1), "t.i2p"}, {"down.i2p", "x", "d.i2p"}});
  int status = 0;
  const std::string shown = onTerminal(
      {sam().substr(1), "--check"}, true, [](const std::string&) {}, status);
  EXPECT_EQ(status, 0) << shown;
  const std::vector<std::string> inOrder = {
      "\r\nHOST      STATE      STATUS      TIME  VIA     CAUSE\r\nCheck 2 eepsites ...",
      "\rtty.i2p   up            200    ", " s  helper\r\n",
      "\rdown.i2p  down            -         -  name    address unknown\r\n",
      "\rCheck 2 eepsites ... checked 2 of 2, 1 up\r\n2 eepsites, 1 answered\r\n"};
  std::size_t at = 0;
  for (const std::string& text : inOrder) {
    at = shown.find(text, at);
    ASSERT_NE(at, std::string::npos) << text << " in\n" << shown;
  }
}

}  // namespace
}  // namespace tessivar
