#include <velqor/i2p_socket.hpp>
#include <velqor/message.hpp>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sam/line_splitter.hpp"
#include "sam/print_error.hpp"

namespace SAM {

namespace {

constexpr std::size_t receiveSize = 4096;

}  // namespace

I2pSocket::I2pSocket(const std::string& SAMHost, uint16_t SAMPort)
    : samMinVer("3.0"), samMaxVer("3.1"), socket(-1), SAMHost(SAMHost), SAMPort(SAMPort) {
  std::memset(&servAddr, 0, sizeof servAddr);
  servAddr.sin_family = AF_INET;
  // Numeric IPv4 only: any other text gives INADDR_NONE (255.255.255.255), which is used as
  // it stands, so the connect fails rather than reaching some other host.
  servAddr.sin_addr.s_addr = inet_addr(SAMHost.c_str());
  servAddr.sin_port = htons(SAMPort);
  bootstrapI2P();
}

I2pSocket::I2pSocket(const sockaddr_in& addr)
    : samMinVer("3.0"),
      samMaxVer("3.1"),
      socket(-1),
      servAddr(addr),
      SAMPort(ntohs(addr.sin_port)) {
  bootstrapI2P();
}

I2pSocket::I2pSocket(const I2pSocket& other)
    : samMinVer("3.0"),
      samMaxVer("3.1"),
      socket(-1),
      servAddr(other.servAddr),
      SAMPort(ntohs(other.servAddr.sin_port)) {
  bootstrapI2P();
}

I2pSocket::~I2pSocket() { close(); }

void I2pSocket::bootstrapI2P() {
  init();
  if (isOk()) handshake();
}

void I2pSocket::init() {
  socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (socket == -1) {
    print_error("Failed to create socket");
    return;
  }
  int result;
  do {
    result = ::connect(socket, reinterpret_cast<const sockaddr*>(&servAddr), sizeof servAddr);
  } while (result == -1 && errno == EINTR);
  if (result == -1) {
    close();
    print_error("Failed to connect to SAM");
  }
}

void I2pSocket::handshake() {
  write(Message::hello(samMinVer, samMaxVer));
  const std::string answer = readLine();
  if (Message::checkAnswer(answer) == Message::OK) {
    version = Message::getValue(answer, "VERSION");
  } else {
    print_error("Handshake failed");
  }
}

void I2pSocket::write(const std::string& msg) {
  if (!isOk()) {
    print_error("Failed to send data because socket is closed");
    return;
  }
  if (msg.empty()) {
    // An empty write ends the connection: callers rely on it to close a socket whose request
    // line could not be built.
    close();
    print_error("I2pSocket was closed");
    return;
  }
  std::size_t sent = 0;
  while (sent < msg.size()) {
    // MSG_NOSIGNAL: a reset peer gives EPIPE here instead of killing the process.
    const ssize_t n = ::send(socket, msg.data() + sent, msg.size() - sent, MSG_NOSIGNAL);
    if (n == -1 && errno == EINTR) continue;
    if (n <= 0) {
      close();
      print_error("Failed to send data");
      return;
    }
    sent += static_cast<std::size_t>(n);
  }
}

std::string I2pSocket::read() {
  if (!isOk()) {
    print_error("Failed to read data because socket is closed");
    return "";
  }
  if (!pending.empty()) {
    std::string kept;
    kept.swap(pending);
    return kept;
  }
  char buffer[receiveSize];
  ssize_t n;
  do {
    n = ::recv(socket, buffer, sizeof buffer, 0);
  } while (n == -1 && errno == EINTR);
  if (n == -1) {
    close();
    print_error("Failed to receive data");
    return "";
  }
  if (n == 0) {
    close();
    print_error("I2pSocket was closed");
    return "";
  }
  return std::string(buffer, static_cast<std::size_t>(n));
}

std::string I2pSocket::readLine() {
  if (!isOk()) {
    print_error("Failed to read data because socket is closed");
    return "";
  }
  std::size_t scanFrom = 0;
  std::string line;
  for (;;) {
    switch (LineSplitter::takeLine(pending, scanFrom, maxReplyLength, line)) {
      case LineSplitter::LINE:
        return line;
      case LineSplitter::TOO_LONG:
        close();
        print_error("Reply line too long");
        return "";
      case LineSplitter::NEED_MORE:
        break;
    }
    char buffer[receiveSize];
    ssize_t n;
    do {
      n = ::recv(socket, buffer, sizeof buffer, 0);
    } while (n == -1 && errno == EINTR);
    if (n <= 0) {
      // A line cut off by the end of the connection is no reply: it may be any prefix of one.
      close();
      print_error(n == 0 ? "I2pSocket was closed" : "Failed to receive data");
      return "";
    }
    pending.append(buffer, static_cast<std::size_t>(n));
  }
}

void I2pSocket::close() {
  if (socket != -1) {
    ::close(socket);
    socket = -1;
  }
  pending.clear();
}

int I2pSocket::release() {
  const int handle = socket;
  socket = -1;
  pending.clear();
  return handle;
}

bool I2pSocket::isOk() const { return socket != -1; }

const std::string& I2pSocket::getHost() const { return SAMHost; }

uint16_t I2pSocket::getPort() const { return SAMPort; }

const std::string& I2pSocket::getVersion() const { return version; }

const sockaddr_in& I2pSocket::getAddress() const { return servAddr; }

}  // namespace SAM
