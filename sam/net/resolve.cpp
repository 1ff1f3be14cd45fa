#include "sam/net/resolve.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace SAM {
namespace net {

std::string resolveIPv4(const std::string& host, in_addr& address, int& systemError) {
  systemError = 0;
  if (inet_aton(host.c_str(), &address) != 0) return "";
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int result = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (result == EAI_SYSTEM) {
    systemError = errno;
    return std::strerror(systemError);
  }
  if (result != 0) return gai_strerror(result);
  if (found == nullptr) return "no IPv4 address";
  address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  ::freeaddrinfo(found);
  return "";
}

}  // namespace net
}  // namespace SAM
