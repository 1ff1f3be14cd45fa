#include "fake_site.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velqor_test {

namespace {

void sendPage(BridgeConnection& conn, const std::string& pagePath) {
  const int page = ::open(pagePath.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info {};
  if (page < 0 || ::fstat(page, &info) != 0) {
    conn.send("HTTP/1.1 500 No Page\r\nContent-Length: 0\r\n\r\n");
    if (page >= 0) ::close(page);
    return;
  }
  conn.send("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
            std::to_string(info.st_size) + "\r\n\r\n");
  std::string chunk(64 * 1024, '\0');
  for (;;) {
    const ssize_t n = ::read(page, &chunk[0], chunk.size());
    if (n <= 0 || !conn.send(chunk.substr(0, static_cast<std::size_t>(n)))) break;
  }
  ::close(page);
}

}  // namespace

void serveFileAsSite(FakeBridge& bridge, const std::string& pagePath) {
  bridge.on("NAMING LOOKUP", "NAMING REPLY RESULT=OK NAME=site VALUE=" + testKeyPub() + "\n");
  bridge.on("STREAM CONNECT", [pagePath](BridgeConnection& conn, const std::string&) {
    conn.send("STREAM STATUS RESULT=OK\n");
    for (std::string line = conn.readLine(); !line.empty() && line != "\r\n";) {
      line = conn.readLine();
    }
    sendPage(conn, pagePath);
    conn.shutdownWrite();
    conn.readAll();  // until the client closes the stream
    conn.close();
  });
}

}  // namespace velqor_test
