// publish_site: puts a directory site into I2P under a fixed destination kept in a key file.
//
//   publish_site [--sam=HOST:PORT] [--i2cp-options=TEXT] [--page=FILE] KEY_FILE
//
// See kHelp below (publish_site --help).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#include <velqor/sam.hpp>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>

namespace {

struct Settings {
  std::string samHost = "127.0.0.1";
  uint16_t samPort = 7656;
  std::string i2cpOptions = "i2cp.leaseSetType=1";
  std::string pageFile;  // empty: generate the sample directory
  std::string keyFile;
};

const char kUsage[] =
    "usage: publish_site [--sam=HOST:PORT] [--i2cp-options=TEXT] [--page=FILE] KEY_FILE\n"
    "       publish_site -h | --help\n";

const char kHelp[] =
    "Serves one HTML page over HTTP on a free loopback port, creates a SAM stream session that\n"
    "takes the destination kept in KEY_FILE (a key file of the library, as velqor-keys new\n"
    "makes it; made here through the bridge when there is none), and asks the bridge to forward\n"
    "every incoming I2P stream to the page. Once published it prints on standard output\n"
    "  PUBLIC=<public destination>   for address books (velqor-sandbox --host NAME=...)\n"
    "  B32=<b32 address>             for lookups and links: http://<b32 address>/\n"
    "and runs until SIGINT or SIGTERM. Progress and reasons go to standard error.\n"
    "\n"
    "  --sam=HOST:PORT      the SAM bridge (default 127.0.0.1:7656)\n"
    "  --i2cp-options=TEXT  the session's options (default i2cp.leaseSetType=1, which a\n"
    "                       session that is connected to needs on i2pd 2.45); on a private\n"
    "                       router such as velqor-sandbox use its SESSION_OPTIONS line\n"
    "  --page=FILE          the page to serve (default: a generated directory of sample\n"
    "                       eepsites in the rows that tessivar lists)\n"
    "\n"
    "The session is made within 3 minutes, or the program fails and says why. Restarted on\n"
    "the same key within seconds of its last run, i2pd 2.45 gives it its session at once but\n"
    "new peers cannot reach it: wait about 10 s between two runs.\n";

bool parseArguments(int argc, char** argv, Settings& settings) {
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument.rfind("--sam=", 0) == 0) {
      const std::string value = argument.substr(6);
      const std::size_t colon = value.rfind(':');
      if (colon == std::string::npos) return false;
      const long port = std::strtol(value.c_str() + colon + 1, nullptr, 10);
      if (port < 1 || port > 65535) return false;
      settings.samHost = value.substr(0, colon);
      settings.samPort = static_cast<uint16_t>(port);
    } else if (argument.rfind("--i2cp-options=", 0) == 0) {
      settings.i2cpOptions = argument.substr(15);
    } else if (argument.rfind("--page=", 0) == 0) {
      settings.pageFile = argument.substr(7);
    } else if (argument.rfind("--", 0) == 0 || !settings.keyFile.empty()) {
      return false;
    } else {
      settings.keyFile = argument;
    }
  }
  return !settings.keyFile.empty();
}

// A text of `length` characters from `alphabet`, the same for the same `seed`.
std::string sampleText(const std::string& alphabet, std::size_t length, unsigned seed) {
  std::string text;
  for (std::size_t i = 0; i < length; ++i) {
    seed = seed * 1103515245u + 12345u;
    text += alphabet[(seed >> 16) % alphabet.size()];
  }
  return text;
}

// A directory of 36 sample eepsites. Each row links the site with an address helper and a
// mirror under a .b32.i2p name. The helper values are made up, not real destinations.
std::string sampleDirectoryPage() {
  const char* const places[] = {"anchor", "bramble", "cinder", "delta", "ember", "fjord"};
  const char* const kinds[] = {"wiki", "forum", "paste", "radio", "books", "news"};
  const std::string base64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-~";
  const std::string base32 = "abcdefghijklmnopqrstuvwxyz234567";

  std::ostringstream page;
  page << "<!DOCTYPE html>\n<html>\n<head><title>Sample eepsite directory</title></head>\n"
       << "<body>\n<h1>Sample eepsite directory</h1>\n<table>\n"
       << "<tr><th>Site</th><th>Links</th></tr>\n";
  unsigned seed = 1;
  for (const char* place : places) {
    for (const char* kind : kinds) {
      const std::string host = std::string(place) + "-" + kind + ".i2p";
      page << "<tr><td>" << host << "</td>"
           << "<td><a href=\"http://" << host
           << "/?i2paddresshelper=" << sampleText(base64, 44, seed) << "\">a</a> "
           << "<a href=\"http://" << sampleText(base32, 52, seed + 1000) << ".b32.i2p/\">b</a>"
           << "</td></tr>\n";
      ++seed;
    }
  }
  page << "</table>\n</body>\n</html>\n";
  return page.str();
}

// A minimal HTTP server on a loopback port chosen by the kernel: "GET /" gets the page, any
// other request 404. One connection at a time, each closed after its answer.
class PageServer {
 public:
  explicit PageServer(const std::string& page) : page_(page) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;  // a port that old connections still hold in TIME_WAIT is fine to listen on
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 8) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
      return;
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { serve(); });
  }

  ~PageServer() {
    ::shutdown(listenFd_, SHUT_RDWR);  // ends the accept() of serve()
    if (thread_.joinable()) thread_.join();
    if (listenFd_ >= 0) ::close(listenFd_);
  }

  // The port, or 0 when the server could not listen.
  uint16_t port() const { return port_; }

 private:
  void serve() {
    for (;;) {
      const int fd = ::accept(listenFd_, nullptr, nullptr);
      if (fd < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        return;
      }
      answer(fd);
      ::close(fd);
    }
  }

  void answer(int fd) {
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
      const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
      if (got <= 0) return;
      request.append(buffer, static_cast<std::size_t>(got));
    }
    const bool isRoot = request.rfind("GET / ", 0) == 0;
    const std::string body = isRoot ? page_ : "Not found\n";
    const std::string response =
        std::string(isRoot ? "HTTP/1.1 200 OK" : "HTTP/1.1 404 Not Found") +
        "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
        std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    for (std::size_t sent = 0; sent < response.size();) {
      const ssize_t n = ::send(fd, response.data() + sent, response.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return;
      sent += static_cast<std::size_t>(n);
    }
  }

  std::string page_;
  int listenFd_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  if (argc == 2 && (std::string(argv[1]) == "-h" || std::string(argv[1]) == "--help")) {
    std::cout << kUsage << "\n" << kHelp;
    return 0;
  }
  if (!parseArguments(argc, argv, settings)) {
    std::cerr << kUsage;
    return 2;
  }
  // Every step talks to the bridge within limits, so that a router that is not there or
  // never answers ends the program with a reason instead of holding it.
  SAM::TimeLimits limits;
  limits.connect = std::chrono::seconds(10);
  limits.reply = std::chrono::minutes(3);  // SESSION CREATE: 20 s on i2pd, minutes elsewhere
  SAM::FullDestination key;
  const SAM::Error keyError =
      SAM::loadOrGenerateKeyFile(settings.keyFile, settings.samHost, settings.samPort, key, limits);
  if (!keyError.ok()) {
    std::cerr << "publish_site: " << keyError.reason << "\n";
    return 1;
  }
  if (key.isGenerated) std::cerr << "Made a new key file " << settings.keyFile << std::endl;
  std::string page = sampleDirectoryPage();
  if (!settings.pageFile.empty()) {
    std::ifstream in(settings.pageFile, std::ios::binary);
    if (!in) {
      std::cerr << "publish_site: cannot read " << settings.pageFile << "\n";
      return 1;
    }
    page.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  // The page server's thread must never take SIGINT or SIGTERM: it starts with them blocked.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  PageServer server(page);
  // Until the site is published a signal simply ends the program: the bridge drops a session
  // whose connection closes.
  pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
  if (server.port() == 0) {
    std::cerr << "publish_site: cannot listen on a loopback port\n";
    return 1;
  }
  std::cerr << "Serving the page on http://127.0.0.1:" << server.port() << "/" << std::endl;

  std::cerr << "Creating a session at the SAM bridge " << settings.samHost << ":"
            << settings.samPort << " ..." << std::endl;
  SAM::StreamSession session("publish_site", settings.samHost, settings.samPort, key.priv,
                             settings.i2cpOptions, limits);
  if (session.isSick()) {
    std::cerr << "publish_site: no session: " << session.getLastError().reason << "\n";
    return 1;
  }
  // Silent: otherwise the bridge would first send the peer's destination to the HTTP server,
  // which would take it for a bad request.
  if (!session.forward("127.0.0.1", server.port(), true).isOk) {
    std::cerr << "publish_site: no forward: " << session.getLastError().reason << "\n";
    return 1;
  }
  // From here on a signal is taken by sigwait(), so that the session and the server end in order.
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  std::cout << "PUBLIC=" << key.pub << "\nB32=" << SAM::b32Address(key.pub) << std::endl;
  std::cerr << "Published. Stop with Ctrl-C." << std::endl;

  int received = 0;
  sigwait(&stopSignals, &received);
  std::cerr << "Stopping." << std::endl;
  return 0;  // the session ends its forward and closes; then the page server stops
}
