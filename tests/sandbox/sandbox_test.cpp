// velqor-sandbox as users run it, on Debian's i2pd: its lines once the bridge answers, its
// address book, the guide's two-peer program on it with the options it prints, its end by a
// signal or when i2pd dies underneath, and refused command lines.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <velqor/sam.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "fake_bridge.hpp"  // testKeyPub()

namespace {

// The program run with `arguments`: standard output read line by line, standard error whole.
class Sandbox {
 public:
  explicit Sandbox(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), VELQOR_SANDBOX_BINARY);
    std::vector<char*> argv;
    for (std::string& word : arguments) argv.push_back(word.data());
    argv.push_back(nullptr);
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], STDOUT_FILENO), ::dup2(err[1], STDERR_FILENO);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(out[1]), ::close(err[1]);
    out_ = ::fdopen(out[0], "r"), err_ = ::fdopen(err[0], "r");
  }
  ~Sandbox() {
    if (pid_ > 0) ::kill(pid_, SIGKILL), finish();
    if (out_) std::fclose(out_);
    if (err_) std::fclose(err_);
  }

  // The lines NAME=VALUE up to I2PD_LOG, the last, in the order printed ("" holds the names).
  std::map<std::string, std::string> readyLines() {
    std::map<std::string, std::string> values;
    char* line = nullptr;
    std::size_t size = 0;
    while (values.count("I2PD_LOG") == 0 && ::getline(&line, &size, out_) > 0) {
      const std::string text(line, std::strcspn(line, "\n"));
      values[text.substr(0, text.find('='))] = text.substr(text.find('=') + 1);
      values[""] += text.substr(0, text.find('=')) + " ";
    }
    std::free(line);
    return values;
  }
  pid_t pid() const { return pid_; }
  // Waits for the end: the exit status (-1 for a signal) and all of standard error.
  int finish() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    for (int c; (c = std::fgetc(err_)) != EOF;) err += static_cast<char>(c);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string err;

 private:
  pid_t pid_ = -1;
  FILE* out_ = nullptr;
  FILE* err_ = nullptr;
};

// Started with the test key under a name, then ended by SIGTERM to the program (it stops i2pd)
// or by SIGKILL to i2pd (it says so and fails); either way its directory goes.
TEST(Sandbox, PrintsItsBridgeServesItsAddressBookAndEndsAsTold) {
  const std::string entry = "velqor-site.i2p=" + velqor_test::testKeyPub();
  const struct {
    std::vector<std::string> arguments;
    bool killRouter;
    int status;
    const char* said;
  } rows[] = {{{"--host", entry}, false, 0, "stop it with Ctrl-C"},
              {{"--host=" + entry}, true, 1, "i2pd killed by signal 9 while it was running"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.arguments[0]);
    Sandbox sandbox(row.arguments);
    auto values = sandbox.readyLines();
    ASSERT_EQ(values[""], "SAM_PORT SAM_UDP_PORT SAM_HOST SESSION_OPTIONS I2PD_PID I2PD_LOG ");
    const int port = std::stoi(values["SAM_PORT"]);
    EXPECT_EQ(std::stoi(values["SAM_UDP_PORT"]), port - 1);
    SAM::I2pSocket bridge(values["SAM_HOST"], static_cast<uint16_t>(port));
    EXPECT_EQ(bridge.getVersion(), "3.1");
    const auto found = SAM::Session::namingLookup(bridge, "velqor-site.i2p");
    EXPECT_EQ(found.value, velqor_test::testKeyPub());
#ifdef VELQOR_GUIDE_FIRST_STREAM
    // The guide's first program, given the port and the options as docs/first-stream.md says:
    // two peers on this router exchange a line (its two sessions take about 20 s).
    if (!row.killRouter) {
      const std::string command = "timeout 200 " VELQOR_GUIDE_FIRST_STREAM " " +
                                  values["SAM_PORT"] + " '" + values["SESSION_OPTIONS"] + "' 2>&1";
      FILE* guide = ::popen(command.c_str(), "r");
      std::string out;
      for (int c; guide != nullptr && (c = std::fgetc(guide)) != EOF;) out += static_cast<char>(c);
      EXPECT_EQ(guide != nullptr ? ::pclose(guide) : -1, 0) << out;
      EXPECT_EQ(out, "the server sent back: hello over I2P\n");
    }
#endif
    const pid_t router = std::stoi(values["I2PD_PID"]);
    ::kill(row.killRouter ? router : sandbox.pid(), row.killRouter ? SIGKILL : SIGTERM);
    EXPECT_EQ(sandbox.finish(), row.status) << sandbox.err;
    EXPECT_NE(sandbox.err.find(row.said), std::string::npos) << sandbox.err;
    struct stat seen;
    const std::string log = values["I2PD_LOG"];
    EXPECT_NE(::stat(log.substr(0, log.rfind('/')).c_str(), &seen), 0) << "its directory stayed";
    EXPECT_NE(::kill(router, 0), 0) << "i2pd outlived the sandbox";
  }
}

TEST(Sandbox, RefusesMalformedCommandLinesWithItsUsage) {
  const std::vector<std::string> rows[] = {
      {"--host=x.i2p"},
      {"--host", "x.i2p=not base64"},
      {"--host=x.i2p=" + velqor_test::testKeyPriv()},  // the private key, given by mistake
      {"--host"},
      {"--port=1"}};
  for (const auto& arguments : rows) {
    Sandbox sandbox(arguments);
    EXPECT_EQ(sandbox.finish(), 2) << arguments[0];
    EXPECT_NE(sandbox.err.find("usage: velqor-sandbox"), std::string::npos) << sandbox.err;
  }
}

}  // namespace
