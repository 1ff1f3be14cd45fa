// A SAM bridge and directory site in one, for running the real tessivar binary in benchmarks.
#ifndef VELQOR_BENCH_TOOL_FAKE_SITE_HPP
#define VELQOR_BENCH_TOOL_FAKE_SITE_HPP

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Listens on 127.0.0.1 with a port chosen by the kernel. Answers HELLO, SESSION CREATE and
// NAMING LOOKUP with OK; on STREAM CONNECT reads the HTTP request and sends the file at
// `pagePath` as a 200 response with Content-Length, then ends the stream.
class FakeSiteBridge {
 public:
  explicit FakeSiteBridge(std::string pagePath);
  ~FakeSiteBridge();
  FakeSiteBridge(const FakeSiteBridge&) = delete;
  FakeSiteBridge& operator=(const FakeSiteBridge&) = delete;

  // 0 when the bridge could not listen.
  std::uint16_t port() const { return port_; }

 private:
  void acceptLoop();
  void serve(int fd);
  void sendPage(int fd);

  std::string pagePath_;
  int listenFd_ = -1;
  std::uint16_t port_ = 0;
  std::thread acceptThread_;
  std::mutex mutex_;
  std::vector<int> connections_;
  std::vector<std::thread> workers_;
};

#endif  // VELQOR_BENCH_TOOL_FAKE_SITE_HPP
