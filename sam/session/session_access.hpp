// What the requests and the operations do with a session beyond its public interface: record a
// failure by the sick rules, make a stream request, add a forward, and make a session from the
// parts an operation has made. Internal: not part of the public interface.
#ifndef VELQOR_SAM_SESSION_SESSION_ACCESS_HPP
#define VELQOR_SAM_SESSION_SESSION_ACCESS_HPP

#include <velqor/datagram_session.hpp>
#include <velqor/session.hpp>
#include <velqor/stream_session.hpp>

#include <memory>
#include <string>

#include "sam/wire/exchange.hpp"

namespace SAM {

struct SessionLink;

// Everything a session is made of, as an operation has made it at the bridge.
struct SessionParts {
  std::unique_ptr<I2pSocket> control;  // connected, with the session created on it
  std::string nickname;
  std::string sessionID;
  std::string options;
  FullDestination destination;
  Message::SessionStyle style = Message::STREAM;
  int udpSocket = -1;  // for datagram sessions, owned by the parts until handed on
  uint16_t udpPort = 0;
};

struct SessionAccess {
  static I2pSocket& control(Session& session) { return session.socket; }

  // Records `error` as the session's last failure, and makes it sick when `sick`.
  static void failed(const Session& session, const Error& error, bool sick) {
    if (sick) session.fallSick();
    session.lastError = error;
  }

  // The blocking stream requests (accept, connect, forward) on a connection of their own, with
  // the sick rules of stream requests. An empty line is a refused argument: nothing is sent
  // and the session stays as it is. With `silent` no reply line is read.
  static RequestResult<std::unique_ptr<I2pSocket>> streamRequest(StreamSession& session,
                                                                 wire::Command command,
                                                                 const std::string& requestLine,
                                                                 bool silent);
  static void addForward(StreamSession& session, std::unique_ptr<I2pSocket> connection,
                         const std::string& host, uint16_t port, bool silent) {
    session.forwardedStreams.emplace_back(std::move(connection), host, port, silent);
  }

  static std::unique_ptr<StreamSession> makeStreamSession(SessionParts& parts) {
    return std::unique_ptr<StreamSession>(new StreamSession(parts));
  }
  static std::unique_ptr<DatagramSession> makeDatagramSession(SessionParts& parts) {
    return std::unique_ptr<DatagramSession>(new DatagramSession(parts));
  }

  // Binds the UDP socket of a datagram session on the local address of its control connection,
  // sets `host` and `port` to that address, and returns its descriptor; -1 on failure, with
  // `error` saying why.
  static int openUdpSocket(int controlDescriptor, std::string& host, uint16_t& port, Error& error);

  // The link that the operations started on `session` share, made at the first call.
  static std::shared_ptr<SessionLink> link(Session& session);
  static std::shared_ptr<SessionLink> link(StreamSession& session);
};

}  // namespace SAM

#endif  // VELQOR_SAM_SESSION_SESSION_ACCESS_HPP
