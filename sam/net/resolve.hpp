// Name resolution to IPv4. Internal: not part of the public interface.
#ifndef VELQOR_SAM_NET_RESOLVE_HPP
#define VELQOR_SAM_NET_RESOLVE_HPP

#include <netinet/in.h>

#include <string>

namespace SAM {
namespace net {

// Sets `address` to the IPv4 address of `host`: numeric in every form inet_aton() takes, or the
// first IPv4 address the system's resolver (getaddrinfo) gives for a name. Returns "" on
// success, else the resolver's text for the failure, with `systemError` set to errno when the
// failure was a system call's (0 otherwise). Not bounded in time: the resolver's own limits
// apply.
std::string resolveIPv4(const std::string& host, in_addr& address, int& systemError);

}  // namespace net
}  // namespace SAM

#endif  // VELQOR_SAM_NET_RESOLVE_HPP
