// The library, its C interface and tessivar against a private i2pd router, with stream and
// datagram sessions that are all created at once before the tests (about 20 s each on this
// router, whatever else runs) and then shared.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <velqor/velqor.h>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <random>
#include <string>
#include <velqor/sam.hpp>
#include "fake_bridge.hpp"  // testKeyPriv(), testKeyPub()
#include "harness.hpp"

namespace velqor_interop {
namespace {

using SAM::DatagramSession;
using SAM::StreamSession;
constexpr char kSiteName[] = "velqor-site.i2p";  // the address book's name for the test key

struct Shared {  // the sessions the tests share, and the router last: reset after them
  std::unique_ptr<StreamSession> client;     // transient; connects to the others
  std::unique_ptr<StreamSession> fixed;      // the test key; accepts
  std::unique_ptr<StreamSession> transient;  // accepts
  // Only for the rebuild: on i2pd 2.45 a destination taken again stops publishing its lease set.
  std::unique_ptr<StreamSession> rebuildable;
  std::unique_ptr<DatagramSession> datagrams[4];  // [0] and [1] DATAGRAM, [2] and [3] RAW
  velqor_stream_session* c = nullptr;             // the C interface; connects and accepts
  std::unique_ptr<I2pdRouter> router;
} shared;

class Environment : public ::testing::Environment {
  void SetUp() override {
    try {  // from the main thread: the router dies with the thread that started it
      shared.router =
          std::make_unique<I2pdRouter>(std::string(kSiteName) + "=" + velqor_test::testKeyPub());
    } catch (const std::exception& e) {
      FAIL() << e.what();
    }
    const uint16_t port = shared.router->samPort();
    const auto stream = [port](const std::string& key, const char* options) {
      return startMaking<StreamSession>("interop", kRouterHost, port, key, options);
    };
    auto client = stream("TRANSIENT", kZeroHopOptions);
    auto fixed = stream(velqor_test::testKeyPriv(), kServerSessionOptions);
    auto transient = stream("TRANSIENT", kServerSessionOptions);
    auto rebuildable = stream("TRANSIENT", kServerSessionOptions);
    SAM::TimeLimits limits;
    limits.read = std::chrono::seconds(30);  // a bound against a lost datagram, not a measure
    std::future<std::unique_ptr<DatagramSession>> datagrams[4];
    for (int i = 0; i < 4; ++i) {
      datagrams[i] = startMaking<DatagramSession>(
          "interop", kRouterHost, port, i < 2 ? SAM::Message::DATAGRAM : SAM::Message::RAW,
          "TRANSIENT", kServerSessionOptions, limits);
    }
    const velqor_settings settings{kRouterHost, port, "interop", kServerSessionOptions,
                                   "TRANSIENT"};
    shared.c = velqor_stream_session_new(&settings);  // meanwhile
    const auto made = [](auto& future) {
      auto session = future.get();
      EXPECT_FALSE(session->isSick()) << session->getLastError().reason << shared.router->logTail();
      return session;
    };
    shared.client = made(client);
    shared.fixed = made(fixed);
    shared.transient = made(transient);
    shared.rebuildable = made(rebuildable);
    for (int i = 0; i < 4; ++i) shared.datagrams[i] = made(datagrams[i]);
    ASSERT_EQ(velqor_is_sick(shared.c), 0) << shared.router->logTail();
  }

  void TearDown() override {
    velqor_stream_session_free(shared.c);
    shared = Shared();
  }
};

// `size` pseudo-random bytes drawn from `seed`; one in eight is zero, often several in a row.
std::string patternBytes(std::size_t size, uint32_t seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) {
    const uint32_t draw = generator();
    byte = (draw & 7u) == 0 ? '\0' : static_cast<char>(draw >> 8);
  }
  return bytes;
}

::testing::AssertionResult sameBytes(const std::string& expected, const std::string& actual) {
  const auto at = std::mismatch(expected.begin(), expected.end(), actual.begin(), actual.end());
  return (expected == actual ? ::testing::AssertionSuccess() : ::testing::AssertionFailure())
         << "expected " << expected.size() << " bytes, got " << actual.size()
         << "; first difference at byte " << (at.first - expected.begin());
}

// A socket of the C interface, read and written as a SAM::I2pSocket is.
struct CSocket {
  ~CSocket() { velqor_socket_free(socket); }
  void write(const std::string& bytes) { velqor_write(socket, bytes.data(), bytes.size()); }
  std::string read() {
    std::size_t length = 0;
    char* chunk = velqor_read(socket, &length);
    std::string bytes = chunk != nullptr ? std::string(chunk, length) : "";
    std::free(chunk);
    return bytes;
  }
  velqor_socket* socket;
};

// Reads until `size` bytes have arrived or the stream has ended.
template <class Socket>
std::string readUpTo(Socket& socket, std::size_t size = SIZE_MAX) {
  std::string received;
  std::string chunk;
  while (received.size() < size && !(chunk = socket.read()).empty()) received += chunk;
  return received;
}

// Sends `up` (but its first `alreadySent` bytes) from `a` to `b` while `b` reads it and then
// sends `down` back, and checks both byte for byte.
template <class A, class B>
void exchange(A& a, B& b, const std::string& up, const std::string& down,
              std::size_t alreadySent = 0) {
  auto aSide = std::async(std::launch::async, [&] {
    a.write(up.substr(alreadySent));
    return readUpTo(a, down.size());
  });
  EXPECT_TRUE(sameBytes(up, readUpTo(b, up.size())));
  b.write(down);
  EXPECT_TRUE(sameBytes(down, aSide.get()));
}

// Connects the client to `destination`, sends `bytes` and closes.
void sendThroughI2p(const std::string& destination, const std::string& bytes) {
  auto connected = shared.client->connect(destination, false);
  ASSERT_TRUE(connected.isOk);
  connected.value->write(bytes);
  connected.value->close();
}

TEST(Bridge, HandshakeSettlesOnVersion31) {
  EXPECT_EQ(SAM::I2pSocket(kRouterHost, shared.router->samPort()).getVersion(), "3.1");
  EXPECT_EQ(shared.client->getSAMVersion(), "3.1");
}

TEST(Bridge, GeneratedPublicDestinationIsTheOneDerivedFromThePrivate) {
  const auto generated = shared.client->destGenerate();
  ASSERT_TRUE(generated.isOk);
  EXPECT_EQ(SAM::derivePublicDestination(generated.value.priv), generated.value.pub);
  EXPECT_NE(generated.value.pub, shared.client->getMyDestination().pub);
  EXPECT_FALSE(shared.client->isSick());
}

TEST(Bridge, NamingLookupResolvesAddressBookNamesAndB32Addresses) {
  EXPECT_FALSE(shared.client->namingLookup("nobody-here.i2p").isOk);
  EXPECT_FALSE(shared.client->isSick()) << "an unknown name is no fault of the session";
  const std::string known = shared.client->namingLookup(kSiteName).value;
  EXPECT_EQ(known, velqor_test::testKeyPub());
  EXPECT_EQ(shared.fixed->getMyDestination().pub, known) << "the test key's session";
  // The router resolves the b32 address we compute to the destination it stands for.
  const std::string address = SAM::b32Address(velqor_test::testKeyPub());
  EXPECT_EQ(shared.client->namingLookup(address).value, velqor_test::testKeyPub());
}

// On this router a session without zero-hop tunnels never comes about and i2pd never answers:
// the caller's limit ends the wait, and the session is sick.
TEST(TimeLimits, ACreationThatCannotCompleteEndsSickAtItsLimit) {
  SAM::TimeLimits limits;
  limits.reply = std::chrono::seconds(3);
  StreamSession session("interop-slow", kRouterHost, shared.router->samPort(), "TRANSIENT", "",
                        limits);
  EXPECT_TRUE(session.isSick());
  EXPECT_EQ(session.getLastError().code, SAM::ErrorCode::TIMED_OUT);
}

// A router with peers looks for the lease set of a destination nobody serves for up to about
// 40 s; this lone router answers CANT_REACH_PEER at once. Either way a limit set on the
// request must leave the bridge's own answer as it is, and the session healthy.
TEST(TimeLimits, AConnectToADestinationNobodyServesKeepsTheBridgesAnswer) {
  const auto nobody = shared.client->destGenerate();
  ASSERT_TRUE(nobody.isOk);
  SAM::TimeLimits limits;
  limits.reply = std::chrono::seconds(10);
  shared.client->setTimeLimits(limits);
  EXPECT_FALSE(shared.client->connect(nobody.value.pub, false).isOk);
  shared.client->setTimeLimits({});
  EXPECT_EQ(shared.client->getLastError().status, SAM::Message::CANT_REACH_PEER);
  EXPECT_EQ(shared.client->getLastError().reason,
            "STREAM CONNECT refused by the bridge: RESULT=CANT_REACH_PEER");
  EXPECT_FALSE(shared.client->isSick());
}

// A mebibyte each way between the client and `server`. The first piece waits in the bridge until
// the server accepts, so the server gets it glued to the peer's destination line.
void exchangeAMebibyteEachWay(StreamSession& server) {
  auto connected = shared.client->connect(server.getMyDestination().pub, false);
  ASSERT_TRUE(connected.isOk);
  const std::string upload = patternBytes(1 << 20, 1);
  connected.value->write(upload.substr(0, 1000));
  auto accepted = server.accept(false);
  ASSERT_TRUE(accepted.isOk);
  EXPECT_EQ(accepted.value->readLine(), shared.client->getMyDestination().pub + "\n");
  exchange(*connected.value, *accepted.value, upload, patternBytes(1 << 20, 2), 1000);
  connected.value->close();
  EXPECT_EQ(readUpTo(*accepted.value), "") << "the client's close ends the server's stream";
  EXPECT_FALSE(shared.client->isSick());
  EXPECT_FALSE(server.isSick());
}

TEST(Streams, CarryAMebibyteEachWayToATransientDestination) {
  exchangeAMebibyteEachWay(*shared.transient);
}

TEST(Streams, CarryAMebibyteEachWayToTheTestKeysDestination) {
  exchangeAMebibyteEachWay(*shared.fixed);
}

// With SILENT=true no STREAM STATUS line comes: the server's first bytes are stream bytes.
TEST(SilentStream, ConnectHandsOverTheServersFirstBytes) {
  auto serverSide = std::async(std::launch::async, [] {
    auto accepted = shared.transient->accept(false);
    if (!accepted.isOk) return std::string("(accept failed)");
    accepted.value->readLine();  // the client's destination: the stream has begun
    accepted.value->write("hello from the server\n");
    return readUpTo(*accepted.value);
  });
  auto connected = shared.client->connect(shared.transient->getMyDestination().pub, true);
  ASSERT_TRUE(connected.isOk);
  EXPECT_EQ(readUpTo(*connected.value, 22), "hello from the server\n");
  connected.value->write("thanks");
  connected.value->close();
  EXPECT_EQ(serverSide.get(), "thanks");
  EXPECT_FALSE(shared.client->isSick());
}

// The client's first bytes are a line: a library that waited for a reply would take them for it.
TEST(SilentStream, AcceptHandsOverTheClientsFirstBytes) {
  auto serverSide = std::async(std::launch::async, [] {
    auto accepted = shared.transient->accept(true);
    return accepted.isOk ? readUpTo(*accepted.value, 11) : "(accept failed)";
  });
  sendThroughI2p(shared.transient->getMyDestination().pub, "first line\n");
  EXPECT_EQ(serverSide.get(), "first line\n");
  EXPECT_FALSE(shared.transient->isSick());
}

// Ends a forward of a shared session also when an assertion returns early.
struct ForwardScope {
  StreamSession& session;
  uint16_t port;
  ~ForwardScope() { session.stopForwarding(kRouterHost, port); }
};

// i2pd allows one forward per session ("Already accepting"), so the second forward succeeds only
// when stopForwarding has really ended the first.
TEST(Forward, DeliversStreamsUntilStopForwardingEndsIt) {
  StreamSession& server = *shared.transient;
  LocalServer first, second;
  ASSERT_TRUE(server.forward(kRouterHost, first.port(), false).isOk);
  const ForwardScope firstScope{server, first.port()};
  const std::string payload = patternBytes(64 * 1024, 4);
  sendThroughI2p(server.getMyDestination().pub, payload);
  // Not silent: the local server first learns the peer's destination.
  EXPECT_TRUE(sameBytes(shared.client->getMyDestination().pub + "\n" + payload, first.received(0)));

  server.stopForwarding(kRouterHost, first.port());
  ASSERT_TRUE(server.forward(kRouterHost, second.port(), true).isOk);
  const ForwardScope secondScope{server, second.port()};
  sendThroughI2p(server.getMyDestination().pub, "to the second server");
  EXPECT_EQ(second.received(0), "to the second server");
  EXPECT_FALSE(server.isSick());
}

// The rebuilt session takes the same destination under a new identifier and forwards again. On
// i2pd 2.45 that destination no longer publishes its lease set, so only peers that reached it
// before reach it again: the client does so once before the rebuild.
TEST(Forward, RebuiltSessionForwardsAgainUnderTheSameDestination) {
  StreamSession& old = *shared.rebuildable;
  const SAM::FullDestination destination = old.getMyDestination();
  LocalServer site;
  ASSERT_TRUE(old.forward(kRouterHost, site.port(), true).isOk);
  sendThroughI2p(destination.pub, "before the rebuild");
  EXPECT_EQ(site.received(0), "before the rebuild");

  auto rebuilt = std::make_unique<StreamSession>(old);
  EXPECT_TRUE(old.isSick());
  ASSERT_FALSE(rebuilt->isSick()) << shared.router->logTail();
  EXPECT_NE(rebuilt->getSessionID(), old.getSessionID());
  EXPECT_EQ(rebuilt->getMyDestination().priv, destination.priv);
  shared.rebuildable = std::move(rebuilt);

  sendThroughI2p(destination.pub, "after the rebuild");
  EXPECT_EQ(site.received(1), "after the rebuild");
  EXPECT_FALSE(shared.rebuildable->isSick());
}

// The C interface connects to a C++ server and accepts from a C++ client, handing over raw
// bytes: on accept the peer's destination line comes first, alone, as the client sends nothing.
// The C session is reached at the destination the C++ server saw it connect from.
TEST(CInterface, ConnectsAndAcceptsCarryingBytesBothWays) {
  CSocket out{velqor_connect(shared.c, shared.transient->getMyDestination().pub.c_str(), 0)};
  ASSERT_NE(out.socket, nullptr);
  auto accepted = shared.transient->accept(false);
  ASSERT_TRUE(accepted.isOk);
  std::string destination = accepted.value->readLine();
  exchange(out, *accepted.value, patternBytes(256 * 1024, 5), patternBytes(256 * 1024, 6));

  destination.pop_back();  // its line break
  auto connected = shared.client->connect(destination, false);
  ASSERT_TRUE(connected.isOk);
  CSocket in{velqor_accept(shared.c, 0)};
  ASSERT_NE(in.socket, nullptr);
  const std::string peerLine = shared.client->getMyDestination().pub + "\n";
  EXPECT_EQ(readUpTo(in, peerLine.size()), peerLine);
  exchange(*connected.value, in, patternBytes(256 * 1024, 7), patternBytes(256 * 1024, 8));
  EXPECT_EQ(velqor_is_sick(shared.c), 0);
}

#ifdef VELQOR_TESSIVAR_PATH
// The real tessivar lists a directory page (several reads long, with a row to skip) served
// through the library's forward, found by its b32 address (a user without its name does so).
TEST(Tessivar, ListsTheEepsitesOfASitePublishedThroughForward) {
  std::string html =
      "<table><tr><th>site</th></tr>\n"
      "<tr><td><a href=\"http://not-a-row.i2p/\">a</a></td></tr>\n";
  std::string listed, rows;  // on standard output, and in the output file
  for (int i = 10; i < 50; ++i) {
    const std::string n = std::to_string(i);
    const std::string helper = "Ab~" + n + "-Cd" + std::string(40, static_cast<char>('a' + i % 26));
    html += "<tr><td><a href=\"http://site" + n + ".i2p/?i2paddresshelper=" + helper +
            "\">a</a> <a href=\"http://mirror" + n + ".i2p/\">b</a></td></tr>\n";
    listed += "site" + n + ".i2p; ";
    rows += "site" + n + ".i2p  " + helper + "  mirror" + n + ".i2p\r\n";
  }
  html += "</table>\n";
  LocalServer site([&html](int fd) {
    std::string request = receiveUntil(fd, "\r\n\r\n");
    const std::string response = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                                 std::to_string(html.size()) + "\r\nConnection: close\r\n\r\n" +
                                 html;
    ::send(fd, response.data(), response.size(), MSG_NOSIGNAL);  // blocks until all is queued
    return request;
  });
  // Silent: an HTTP server would answer a destination line with 400 Bad Request.
  ASSERT_TRUE(shared.fixed->forward(kRouterHost, site.port(), true).isOk);
  const ForwardScope scope{*shared.fixed, site.port()};

  const std::string address = SAM::b32Address(velqor_test::testKeyPub());
  const auto file = [](const char* name) { return shared.router->file(name); };
  const std::string command = std::string("timeout 120 " VELQOR_TESSIVAR_PATH " --sam=") +
                              kRouterHost + ":" + std::to_string(shared.router->samPort()) +
                              " --site=" + address + " '--i2cp-options=" + kZeroHopOptions + "' " +
                              file("eepsites.txt") + " >" + file("stdout") + " 2>" +
                              file("stderr") + " </dev/null";
  EXPECT_EQ(std::system(command.c_str()), 0) << readTextFile(file("stderr"));  // about 20 s
  EXPECT_EQ(readTextFile(file("stdout")), listed + "\n40 eepsites\n");
  EXPECT_EQ(readTextFile(file("eepsites.txt")), rows);
  const std::string requestStart = "GET / HTTP/1.1\r\nHost: " + address + "\r\n";
  EXPECT_EQ(site.received(0).rfind(requestStart, 0), 0u) << site.received(0);
}
#endif

// Sends `payload` from `from` to `to` and checks that `to` receives exactly it, from `from` in
// a DATAGRAM session; returns the sender that `to` saw.
std::string deliver(DatagramSession& from, DatagramSession& to, const std::string& payload,
                    const std::string& destination = "") {
  EXPECT_TRUE(
      from.send(destination.empty() ? to.getMyDestination().pub : destination, payload).isOk)
      << from.getLastError().reason;
  const auto got = to.receive();
  EXPECT_TRUE(got.isOk) << to.getLastError().reason;
  EXPECT_TRUE(sameBytes(payload, got.value.payload));
  const bool repliable = to.getStyle() == SAM::Message::DATAGRAM;
  EXPECT_EQ(got.value.sender, repliable ? from.getMyDestination().pub : "");
  return got.value.sender;
}

// In both styles: a datagram to a destination nobody serves is lost without harm; an answer
// goes to the sender the bridge named (in RAW style none is named: to the peer's destination);
// the largest payload the header allows arrives whole, and one byte more is refused before
// sending (i2pd would cut it to fit its buffer and deliver the rest). The refused payload differs
// from the one that follows, so a datagram that left anyway would be the one received.
TEST(Datagrams, GoBothWaysInBothStylesUpToTheLargestPayload) {
  for (int a : {0, 2}) {
    DatagramSession &one = *shared.datagrams[a], &other = *shared.datagrams[a + 1];
    const auto nobody = one.destGenerate();
    ASSERT_TRUE(nobody.isOk);
    EXPECT_TRUE(one.send(nobody.value.pub, "into the void").isOk) << one.getLastError().reason;
    const std::string sender = deliver(one, other, patternBytes(1031, a));
    deliver(other, one, std::string("\0\0back\0", 7), sender);
    const std::size_t largest = one.maxPayloadSize(other.getMyDestination().pub);
    EXPECT_EQ(largest + 6 + one.getSessionID().size() + 524, DatagramSession::maxDatagramSize);
    EXPECT_FALSE(one.send(other.getMyDestination().pub, patternBytes(largest + 1, 4)).isOk);
    EXPECT_EQ(one.getLastError().code, SAM::ErrorCode::ARGUMENT);
    deliver(one, other, patternBytes(largest, 5));
    EXPECT_FALSE(one.isSick());
  }
}

}  // namespace
}  // namespace velqor_interop

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new velqor_interop::Environment);  // owned by gtest
  return RUN_ALL_TESTS();
}
