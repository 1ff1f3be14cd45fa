#include "command_line.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fake_bridge.hpp"

namespace tessivar {
namespace {

using Action = CommandLine::Action;

CommandLine parse(std::vector<const char*> arguments) {
  arguments.insert(arguments.begin(), "tessivar");
  return CommandLine(static_cast<int>(arguments.size()), arguments.data());
}

TEST(CommandLineTest, TakesOptionsAndTheFirstOperand) {
  const CommandLine plain = parse({});
  EXPECT_EQ(plain.action(), Action::kRun);
  EXPECT_FALSE(plain.settings().outputPath.has_value());

  const CommandLine full = parse({"out.txt", "--sam=10.1.2.3:7001", "ignored.txt", "--site=x.i2p",
                                  "--i2cp-options=inbound.length=0 outbound.length=0"});
  ASSERT_EQ(full.action(), Action::kRun) << full.error();
  EXPECT_EQ(full.settings().outputPath, "out.txt");
  EXPECT_EQ(full.settings().samHost, "10.1.2.3");
  EXPECT_EQ(full.settings().samPort, 7001);
  EXPECT_EQ(full.settings().siteHost, "x.i2p");
  EXPECT_EQ(full.settings().i2cpOptions, "inbound.length=0 outbound.length=0");

  EXPECT_EQ(parse({"--", "-odd-name"}).settings().outputPath, "-odd-name");
}

TEST(CommandLineTest, DecidesTheActionByTheFirstSpecialArgument) {
  struct Case {
    std::vector<const char*> arguments;
    Action action;
  };
  const std::vector<Case> cases = {
      {{"-h"}, Action::kShowHelp},
      {{"out.txt", "--help", "--bogus"}, Action::kShowHelp},
      {{"--version"}, Action::kShowVersion},
      {{"--bogus", "--help"}, Action::kUsageError},
      {{"-"}, Action::kUsageError},
      {{"--sam"}, Action::kUsageError},
      {{"--sam=localhost:7656"}, Action::kUsageError},  // names are not resolved
      {{"--sam=127.0.0.1"}, Action::kUsageError},
      {{"--sam=127.0.0.1:0"}, Action::kUsageError},
      {{"--sam=127.0.0.1:65536"}, Action::kUsageError},
      {{"--sam=127.0.0.1:76x"}, Action::kUsageError},
      {{"--site="}, Action::kUsageError},
      {{"--site=a.i2p\r\nX: y"}, Action::kUsageError},
      {{"--i2cp-options=a=1\nSESSION"}, Action::kUsageError},
  };
  for (const auto& c : cases) {
    const CommandLine commandLine = parse(c.arguments);
    EXPECT_EQ(commandLine.action(), c.action) << c.arguments[0];
    EXPECT_EQ(commandLine.error().empty(), c.action != Action::kUsageError) << c.arguments[0];
  }
}

struct Process {
  int status = -1;
  std::string out;
};

// Runs the tessivar binary through the shell with `arguments` (already quoted) and returns
// its exit status and standard output.
Process runTessivar(const std::string& arguments) {
  Process process;
  FILE* pipe = popen((std::string(TESSIVAR_BINARY) + " " + arguments).c_str(), "r");
  if (pipe == nullptr) return process;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
    process.out.append(buffer, n);
  }
  const int status = pclose(pipe);
  process.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return process;
}

TEST(TessivarBinaryTest, AnswersHelpVersionAndUsageErrors) {
  const Process help = runTessivar("--help 2>&1");
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out, CommandLine::help());

  const Process version = runTessivar("--version 2>&1");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("tessivar ") + TESSIVAR_VERSION + "\n");

  const Process usage = runTessivar("--bogus 2>/dev/null");
  EXPECT_EQ(usage.status, 2);
  EXPECT_EQ(usage.out, "");
  const Process usageText = runTessivar("--bogus 2>&1 >/dev/null");
  EXPECT_EQ(usageText.out, "tessivar: unknown option '--bogus'\n" + CommandLine::usage());
}

TEST(TessivarBinaryTest, ExitsWithTheOutcomeOfTheRun) {
  velqor_test::FakeBridge bridge;
  const std::string sam = "--sam=127.0.0.1:" + std::to_string(bridge.port());

  bridge.on("NAMING LOOKUP", "NAMING REPLY RESULT=KEY_NOT_FOUND NAME=x\n");
  const Process failed = runTessivar(sam + " 2>&1");
  EXPECT_EQ(failed.status, 1);
  EXPECT_NE(failed.out.find("Error: Error namingLookup\n"), std::string::npos) << failed.out;

  bridge.on("NAMING LOOKUP",
            "NAMING REPLY RESULT=OK NAME=x VALUE=" + velqor_test::testKeyPub() + "\n");
  bridge.on("STREAM CONNECT", [](velqor_test::BridgeConnection& conn, const std::string&) {
    conn.send("STREAM STATUS RESULT=OK\n");
    while (conn.readLine() != "\r\n") {
    }
    conn.send(
        "HTTP/1.1 200 OK\r\n\r\n<td><a href=\"http://b.i2p/?i2paddresshelper=B\">a</a> "
        "<a href=\"http://b2.i2p/\">b</a></td>\n");
    conn.close();
  });
  const Process succeeded = runTessivar(sam + " 2>/dev/null");
  EXPECT_EQ(succeeded.status, 0);
  EXPECT_EQ(succeeded.out, "b.i2p; \n1 eepsites\n");
}

TEST(TessivarBinaryTest, RemovesItsTemporaryFileWhenTerminated) {
  char tmpDir[] = "/tmp/tessivar-signal-test-XXXXXX";
  ASSERT_NE(mkdtemp(tmpDir), nullptr);
  velqor_test::FakeBridge bridge;
  const auto bodyHeldBack = bridge.makeGate();
  bridge.on("NAMING LOOKUP",
            "NAMING REPLY RESULT=OK NAME=x VALUE=" + velqor_test::testKeyPub() + "\n");
  bridge.on("STREAM CONNECT",
            [bodyHeldBack](velqor_test::BridgeConnection& conn, const std::string&) {
              conn.send("STREAM STATUS RESULT=OK\n");
              for (std::string line = conn.readLine(); !line.empty() && line != "\r\n";) {
                line = conn.readLine();
              }
              conn.send("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n<html>");
              bodyHeldBack->wait();
            });

  // The shell prints its process number, which tessivar keeps by exec.
  const std::string command = "echo $$; TMPDIR=" + std::string(tmpDir) + " exec " +
                              TESSIVAR_BINARY +
                              " --sam=127.0.0.1:" + std::to_string(bridge.port()) + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char line[4096];
  ASSERT_NE(std::fgets(line, sizeof line, pipe), nullptr);
  const pid_t pid = static_cast<pid_t>(std::atol(line));
  bool copying = false;
  while (!copying && std::fgets(line, sizeof line, pipe) != nullptr) {
    copying = std::string(line).rfind("Temp file: ", 0) == 0;
  }
  ASSERT_TRUE(copying);
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  const int status = pclose(pipe);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  EXPECT_EQ(rmdir(tmpDir), 0) << "the temporary file is still in " << tmpDir;
}

}  // namespace
}  // namespace tessivar
