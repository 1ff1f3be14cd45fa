// tessivar end to end: a directory site published through the library's forward, listed by
// the real tessivar binary over the real bridge.
#include <gtest/gtest.h>
#include <velqor/sam.hpp>

#include <chrono>
#include <mutex>
#include <string>

#include "child_process.hpp"
#include "fake_bridge.hpp"  // testKeyPub()
#include "interop_environment.hpp"
#include "local_tcp_server.hpp"
#include "temp_directory.hpp"

namespace velqor_interop {
namespace {

// A directory page with `count` eepsites in the rows tessivar recognises, between lines that it
// must skip. `stdoutText` and `outputFileText` are what tessivar should make of it.
struct DirectoryPage {
  std::string html;
  std::string stdoutText;
  std::string outputFileText;
};

DirectoryPage makeDirectoryPage(int count) {
  DirectoryPage page;
  page.html =
      "<!DOCTYPE html>\n<html><head><title>Sites</title></head><body>\n"
      "<table>\n<tr><th>site</th></tr>\n"
      "<tr><td><a href=\"http://not-a-row.i2p/\">a</a></td></tr>\n";
  for (int i = 0; i < count; ++i) {
    const std::string n = std::to_string(100 + i).substr(1);
    const std::string host = "site" + n + ".i2p";
    const std::string helper = "Ab~" + n + "-Cd" + std::string(40, static_cast<char>('a' + i % 26));
    const std::string mirror = "mirror" + n + ".i2p";
    page.html += "<tr><td><a href=\"http://" + host + "/?i2paddresshelper=" + helper +
                 "\">a</a> <a href=\"http://" + mirror + "/\">b</a></td></tr>\n";
    page.stdoutText += host + "; ";
    page.outputFileText += host + "  " + helper + "  " + mirror + "\r\n";
  }
  page.html += "</table>\n</body></html>\n";
  page.stdoutText += "\n" + std::to_string(count) + " eepsites\n";
  return page;
}

// An HTTP server that answers every request with `page` and closes the connection.
class DirectorySite {
 public:
  explicit DirectorySite(const std::string& page)
      : server_([this, page](int fd) {
          const std::string request = receiveUntil(fd, "\r\n\r\n");
          {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_ += request;
          }
          sendAll(fd, "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                          std::to_string(page.size()) + "\r\nConnection: close\r\n\r\n" + page);
        }) {}

  uint16_t port() const { return server_.port(); }
  std::string requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  mutable std::mutex mutex_;
  std::string requests_;
  LocalTcpServer server_;
};

TEST(Tessivar, ListsTheEepsitesOfASitePublishedThroughForward) {
  const DirectoryPage page = makeDirectoryPage(40);
  DirectorySite site(page.html);
  SAM::StreamSession& publisher = interop().fixedServer();
  ASSERT_EQ(publisher.getMyDestination().pub, velqor_test::testKeyPub());
  // Silent: an HTTP server would answer a destination line with 400 Bad Request.
  ASSERT_TRUE(publisher.forward("127.0.0.1", site.port(), true).isOk);

  TempDirectory work("velqor-tessivar.");
  const std::string outputFile = work.file("eepsites.txt");
  ChildProcess tessivar(
      VELQOR_TESSIVAR_PATH,
      {"--sam=" + interop().router().samHost() + ":" + std::to_string(interop().router().samPort()),
       std::string("--site=") + InteropEnvironment::kSiteName,
       std::string("--i2cp-options=") + kZeroHopOptions, outputFile},
      work.file("stdout"), work.file("stderr"));
  // A bound against a hang: one session creation (about 20 s) plus a page fetch.
  const bool ended = tessivar.waitForExit(std::chrono::seconds(120));
  if (!ended) tessivar.stop();
  publisher.stopForwarding("127.0.0.1", site.port());

  ASSERT_TRUE(ended) << "tessivar did not end; its log:\n" << readTextFile(work.file("stderr"));
  EXPECT_EQ(tessivar.exitCode(), 0) << tessivar.describeEnd() << "\n"
                                    << readTextFile(work.file("stderr"));
  EXPECT_EQ(readTextFile(work.file("stdout")), page.stdoutText);
  EXPECT_EQ(readTextFile(outputFile), page.outputFileText);
  EXPECT_NE(site.requests().find(std::string("GET / HTTP/1.1\r\nHost: ") +
                                 InteropEnvironment::kSiteName + "\r\n"),
            std::string::npos)
      << site.requests();
}

}  // namespace
}  // namespace velqor_interop
