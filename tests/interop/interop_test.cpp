// The library, its C interface and tessivar against a private i2pd router, with stream and
// datagram sessions that are all created at once before the tests (about 20 s each on this
// router, whatever else runs) and then shared.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <velqor/velqor.h>
#include <velqor/sam.hpp>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "fake_bridge.hpp"  // testKeyPriv(), testKeyPub()
#include "harness.hpp"

namespace velqor_interop {
namespace {

using SAM::DatagramSession;
using SAM::StreamSession;
constexpr char kSiteName[] = "velqor-site.i2p";  // the address book's name for the test key
constexpr std::chrono::seconds kLimit(60);       // a bound against hangs, not a measure

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
  if (expected == actual) return ::testing::AssertionSuccess();
  const std::size_t common = std::min(expected.size(), actual.size());
  const auto at = std::mismatch(expected.begin(), expected.begin() + common, actual.begin());
  return ::testing::AssertionFailure()
         << "expected " << expected.size() << " bytes, got " << actual.size()
         << "; first difference at byte " << (at.first - expected.begin());
}

// One end of a stream: a socket of the library or of its C interface.
struct End {
  std::function<void(const std::string&)> write;
  std::function<std::string()> read;  // one receive; "" once the stream has ended
};

End endOf(SAM::I2pSocket& socket) {
  return {[&socket](const std::string& bytes) { socket.write(bytes); },
          [&socket] { return socket.read(); }};
}

End endOf(velqor_socket* socket) {
  return {[socket](const std::string& bytes) { velqor_write(socket, bytes.data(), bytes.size()); },
          [socket] {
            std::size_t length = 0;
            char* chunk = velqor_read(socket, &length);
            std::string bytes = chunk != nullptr ? std::string(chunk, length) : "";
            std::free(chunk);
            return bytes;
          }};
}

// Reads until `size` bytes have arrived or the stream has ended.
std::string readUpTo(const End& end, std::size_t size = SIZE_MAX) {
  std::string received;
  std::string chunk;
  while (received.size() < size && !(chunk = end.read()).empty()) received += chunk;
  return received;
}

// Sends `up` (but its first `alreadySent` bytes) from `a` to `b` while `b` reads it and then
// sends `down` back, and checks both byte for byte.
void exchange(const End& a, const End& b, const std::string& up, const std::string& down,
              std::size_t alreadySent = 0) {
  auto aSide = std::async(std::launch::async, [&] {
    a.write(up.substr(alreadySent));
    return readUpTo(a, down.size());
  });
  EXPECT_TRUE(sameBytes(up, readUpTo(b, up.size())));
  b.write(down);
  EXPECT_TRUE(sameBytes(down, aSide.get()));
}

TEST(Bridge, HandshakeSettlesOnVersion31) {
  SAM::I2pSocket socket(kRouterHost, shared.router->samPort());
  EXPECT_TRUE(socket.isOk());
  EXPECT_EQ(socket.getVersion(), "3.1");
  EXPECT_EQ(shared.client->getSAMVersion(), "3.1");
}

TEST(Bridge, GeneratedPublicDestinationIsTheOneDerivedFromThePrivate) {
  const auto generated = shared.client->destGenerate();
  ASSERT_TRUE(generated.isOk);
  EXPECT_EQ(SAM::derivePublicDestination(generated.value.priv), generated.value.pub);
  EXPECT_NE(generated.value.pub, shared.client->getMyDestination().pub);
  EXPECT_FALSE(shared.client->isSick());
}

TEST(Bridge, NamingLookupResolvesAddressBookNamesOnly) {
  const auto unknown = shared.client->namingLookup("nobody-here.i2p");
  EXPECT_FALSE(unknown.isOk);
  EXPECT_FALSE(shared.client->isSick()) << "an unknown name is no fault of the session";
  const auto known = shared.client->namingLookup(kSiteName);
  ASSERT_TRUE(known.isOk);
  EXPECT_EQ(known.value, velqor_test::testKeyPub());
  // The router resolves the b32 address we compute to the destination it stands for.
  const auto byAddress = shared.client->namingLookup(SAM::b32Address(velqor_test::testKeyPub()));
  ASSERT_TRUE(byAddress.isOk);
  EXPECT_EQ(byAddress.value, velqor_test::testKeyPub());
  EXPECT_EQ(shared.fixed->getMyDestination().pub, known.value) << "the test key's session";
}

// On this router a session without zero-hop tunnels never comes about and i2pd never answers:
// the caller's limit ends the wait, and the session is sick.
TEST(TimeLimits, ACreationThatCannotCompleteEndsSickAtItsLimit) {
  SAM::TimeLimits limits;
  limits.reply = std::chrono::seconds(3);
  SAM::StreamSession session("interop-slow", kRouterHost, shared.router->samPort(), "TRANSIENT", "",
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
  const auto connected = shared.client->connect(nobody.value.pub, false);
  shared.client->setTimeLimits({});
  EXPECT_FALSE(connected.isOk);
  EXPECT_EQ(shared.client->getLastError().status, SAM::Message::CANT_REACH_PEER);
  EXPECT_EQ(shared.client->getLastError().reason,
            "STREAM CONNECT refused by the bridge: RESULT=CANT_REACH_PEER");
  EXPECT_FALSE(shared.client->isSick());
}

class StreamExchange : public ::testing::TestWithParam<bool> {  // true: the test key's session
 protected:
  SAM::StreamSession& server() { return GetParam() ? *shared.fixed : *shared.transient; }
};

// The first piece waits in the bridge until the server accepts, so the server gets it glued to
// the peer's destination line.
TEST_P(StreamExchange, MebibyteEachWayArrivesByteForByte) {
  SAM::StreamSession& client = *shared.client;
  auto connected = client.connect(server().getMyDestination().pub, false);
  ASSERT_TRUE(connected.isOk);
  const std::string upload = patternBytes(1 << 20, 1);
  connected.value->write(upload.substr(0, 1000));
  auto accepted = server().accept(false);
  ASSERT_TRUE(accepted.isOk);
  EXPECT_EQ(accepted.value->readLine(), client.getMyDestination().pub + "\n");
  exchange(endOf(*connected.value), endOf(*accepted.value), upload, patternBytes(1 << 20, 2), 1000);
  connected.value->close();
  EXPECT_EQ(readUpTo(endOf(*accepted.value)), "") << "the client's close ends the server's stream";
  EXPECT_FALSE(client.isSick());
  EXPECT_FALSE(server().isSick());
}

INSTANTIATE_TEST_SUITE_P(BothKindsOfDestination, StreamExchange, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "FixedKey" : "Transient";
                         });

// With SILENT=true no STREAM STATUS line comes: the server's first bytes are stream bytes.
TEST(SilentStream, ConnectHandsOverTheServersFirstBytes) {
  SAM::StreamSession& server = *shared.transient;
  auto accepted = server.accept(false);
  ASSERT_TRUE(accepted.isOk);
  SAM::I2pSocket& serverStream = *accepted.value;
  auto serverSide = std::async(std::launch::async, [&] {
    serverStream.readLine();  // the client's destination: the stream has begun
    serverStream.write("hello from the server\n");
    return readUpTo(endOf(serverStream));
  });
  auto connected = shared.client->connect(server.getMyDestination().pub, true);
  std::string received;
  if (connected.isOk) {
    received = readUpTo(endOf(*connected.value), 22);
    connected.value->write("thanks");
    connected.value->close();
  }
  EXPECT_EQ(serverSide.get(), "thanks");
  EXPECT_TRUE(connected.isOk);
  EXPECT_EQ(received, "hello from the server\n");
  EXPECT_FALSE(shared.client->isSick());
}

// The client's first bytes are a line: a library that waited for a reply would take them for it.
TEST(SilentStream, AcceptHandsOverTheClientsFirstBytes) {
  SAM::StreamSession& server = *shared.transient;
  auto serverSide = std::async(std::launch::async, [&] {
    auto accepted = server.accept(true);
    return accepted.isOk ? readUpTo(endOf(*accepted.value), 11) : std::string("(accept failed)");
  });
  auto connected = shared.client->connect(server.getMyDestination().pub, false);
  ASSERT_TRUE(connected.isOk);
  connected.value->write("first line\n");
  EXPECT_EQ(serverSide.get(), "first line\n");
  EXPECT_FALSE(server.isSick());
}

// Ends a forward of a shared session also when an assertion returns early.
struct ForwardScope {
  SAM::StreamSession& session;
  uint16_t port;
  ~ForwardScope() { session.stopForwarding(kRouterHost, port); }
};

void sendThroughI2p(const std::string& destination, const std::string& bytes) {
  auto connected = shared.client->connect(destination, false);
  ASSERT_TRUE(connected.isOk);
  connected.value->write(bytes);
  connected.value->close();
}

// i2pd allows one forward per session ("Already accepting"), so the second forward succeeds only
// when stopForwarding has really ended the first.
TEST(Forward, DeliversStreamsUntilStopForwardingEndsIt) {
  SAM::StreamSession& server = *shared.transient;
  const std::string destination = server.getMyDestination().pub;
  LocalServer first;
  LocalServer second;
  ASSERT_TRUE(server.forward(kRouterHost, first.port(), false).isOk);
  const ForwardScope firstScope{server, first.port()};
  const std::string payload = patternBytes(64 * 1024, 4);
  sendThroughI2p(destination, payload);
  // Not silent: the local server first learns the peer's destination.
  EXPECT_TRUE(sameBytes(shared.client->getMyDestination().pub + "\n" + payload, first.received(0)));

  server.stopForwarding(kRouterHost, first.port());
  ASSERT_TRUE(server.forward(kRouterHost, second.port(), true).isOk);
  const ForwardScope secondScope{server, second.port()};
  sendThroughI2p(destination, "to the second server");
  EXPECT_EQ(second.received(0), "to the second server");
  EXPECT_FALSE(server.isSick());
}

// The rebuilt session takes the same destination under a new identifier and forwards again. On
// i2pd 2.45 that destination no longer publishes its lease set, so only peers that reached it
// before reach it again: the client does so once before the rebuild.
TEST(Forward, RebuiltSessionForwardsAgainUnderTheSameDestination) {
  SAM::StreamSession& old = *shared.rebuildable;
  const SAM::FullDestination destination = old.getMyDestination();
  LocalServer site;
  ASSERT_TRUE(old.forward(kRouterHost, site.port(), true).isOk);
  sendThroughI2p(destination.pub, "before the rebuild");
  EXPECT_EQ(site.received(0), "before the rebuild");

  auto rebuilt = std::make_unique<SAM::StreamSession>(old);
  EXPECT_TRUE(old.isSick());
  ASSERT_FALSE(rebuilt->isSick()) << shared.router->logTail();
  EXPECT_NE(rebuilt->getSessionID(), old.getSessionID());
  EXPECT_EQ(rebuilt->getMyDestination().pub, destination.pub);
  EXPECT_EQ(rebuilt->getMyDestination().priv, destination.priv);
  shared.rebuildable = std::move(rebuilt);

  sendThroughI2p(destination.pub, "after the rebuild");
  EXPECT_EQ(site.received(1), "after the rebuild");
  EXPECT_FALSE(shared.rebuildable->isSick());
}

using CSocket = std::unique_ptr<velqor_socket, void (*)(velqor_socket*)>;

std::string publicDestinationOf(velqor_stream_session* session) {
  velqor_destination* destination = velqor_get_my_destination(session);
  char* pub = velqor_destination_pub(destination);
  std::string copy = pub != nullptr ? pub : "";
  std::free(pub);
  velqor_destination_free(destination);
  return copy;
}

// The C interface connects to a C++ server and accepts from a C++ client, handing over raw
// bytes: on accept the peer's destination line comes first, alone, as the client sends nothing.
TEST(CInterface, ConnectsAndAcceptsCarryingBytesBothWays) {
  SAM::StreamSession& server = *shared.transient;
  CSocket out(velqor_connect(shared.c, server.getMyDestination().pub.c_str(), 0),
              velqor_socket_free);
  ASSERT_NE(out, nullptr);
  auto accepted = server.accept(false);
  ASSERT_TRUE(accepted.isOk);
  EXPECT_EQ(accepted.value->readLine(), publicDestinationOf(shared.c) + "\n");
  exchange(endOf(out.get()), endOf(*accepted.value), patternBytes(256 * 1024, 5),
           patternBytes(256 * 1024, 6));

  auto connected = shared.client->connect(publicDestinationOf(shared.c), false);
  ASSERT_TRUE(connected.isOk);
  CSocket in(velqor_accept(shared.c, 0), velqor_socket_free);
  ASSERT_NE(in, nullptr);
  const std::string peerLine = shared.client->getMyDestination().pub + "\n";
  EXPECT_EQ(readUpTo(endOf(in.get()), peerLine.size()), peerLine);
  exchange(endOf(*connected.value), endOf(in.get()), patternBytes(256 * 1024, 7),
           patternBytes(256 * 1024, 8));
  EXPECT_EQ(velqor_is_sick(shared.c), 0);
}

#ifdef VELQOR_TESSIVAR_PATH
// The real tessivar lists a directory page (several reads long, with a row to skip) served
// through the library's forward, found by its b32 address.
TEST(Tessivar, ListsTheEepsitesOfASitePublishedThroughForward) {
  std::string html =
      "<html><body><table>\n<tr><th>site</th></tr>\n"
      "<tr><td><a href=\"http://not-a-row.i2p/\">a</a></td></tr>\n";
  std::string expectedStdout;
  std::string expectedFile;
  for (int i = 0; i < 40; ++i) {
    const std::string n = std::to_string(100 + i).substr(1);
    const std::string host = "site" + n + ".i2p";
    const std::string helper = "Ab~" + n + "-Cd" + std::string(40, static_cast<char>('a' + i % 26));
    html += "<tr><td><a href=\"http://" + host + "/?i2paddresshelper=" + helper +
            "\">a</a> <a href=\"http://mirror" + n + ".i2p/\">b</a></td></tr>\n";
    expectedStdout += host + "; ";
    expectedFile += host + "  " + helper + "  mirror" + n + ".i2p\r\n";
  }
  html += "</table></body></html>\n";
  expectedStdout += "\n40 eepsites\n";
  LocalServer site([&html](int fd) {
    std::string request = receiveUntil(fd, "\r\n\r\n");
    const std::string response = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                                 std::to_string(html.size()) + "\r\nConnection: close\r\n\r\n" +
                                 html;
    for (std::size_t sent = 0; sent < response.size();) {
      const ssize_t n = ::send(fd, response.data() + sent, response.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    return request;
  });
  SAM::StreamSession& publisher = *shared.fixed;
  // Silent: an HTTP server would answer a destination line with 400 Bad Request.
  ASSERT_TRUE(publisher.forward(kRouterHost, site.port(), true).isOk);
  const ForwardScope scope{publisher, site.port()};

  // By the site's b32 address, as a user without the site's name in the address book does.
  const std::string address = SAM::b32Address(velqor_test::testKeyPub());
  const auto file = [](const char* name) { return shared.router->file(name); };
  const std::string command = std::string("timeout 120 " VELQOR_TESSIVAR_PATH " --sam=") +
                              kRouterHost + ":" + std::to_string(shared.router->samPort()) +
                              " --site=" + address + " '--i2cp-options=" + kZeroHopOptions + "' " +
                              file("eepsites.txt") + " >" + file("stdout") + " 2>" +
                              file("stderr") + " </dev/null";
  // One session (about 20 s) and a page.
  EXPECT_EQ(std::system(command.c_str()), 0) << readTextFile(file("stderr"));
  EXPECT_EQ(readTextFile(file("stdout")), expectedStdout);
  EXPECT_EQ(readTextFile(file("eepsites.txt")), expectedFile);
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
  EXPECT_TRUE(got.value.payload == payload)
      << "sent " << payload.size() << " bytes, got " << got.value.payload.size();
  const bool repliable = to.getStyle() == SAM::Message::DATAGRAM;
  EXPECT_EQ(got.value.sender, repliable ? from.getMyDestination().pub : "");
  return got.value.sender;
}

// In a DATAGRAM session the answer goes to the sender the bridge named.
TEST(Datagrams, GoBothWaysInBothStyles) {
  for (int a : {0, 2}) {
    const std::string sender =
        deliver(*shared.datagrams[a], *shared.datagrams[a + 1], patternBytes(1031, a));
    deliver(*shared.datagrams[a + 1], *shared.datagrams[a], std::string("\0\0back\0", 7), sender);
  }
}

// The largest payload the header allows arrives whole in both styles; one byte more is refused
// before sending (i2pd would cut it to fit its buffer and deliver the rest). The refused payload
// differs from the one that follows, so a datagram that left anyway would be the one received.
TEST(Datagrams, TheLargestPayloadArrivesAndALongerOneIsRefused) {
  for (int a : {0, 2}) {
    DatagramSession &from = *shared.datagrams[a], &to = *shared.datagrams[a + 1];
    const std::size_t largest = from.maxPayloadSize(to.getMyDestination().pub);
    EXPECT_EQ(largest + 6 + from.getSessionID().size() + 524, DatagramSession::maxDatagramSize);
    EXPECT_FALSE(from.send(to.getMyDestination().pub, patternBytes(largest + 1, 4)).isOk);
    EXPECT_EQ(from.getLastError().code, SAM::ErrorCode::ARGUMENT);
    deliver(from, to, patternBytes(largest, 5));
    EXPECT_FALSE(from.isSick());
  }
}

TEST(Datagrams, ADatagramToADestinationNobodyServesIsLostWithoutHarm) {
  DatagramSession &a = *shared.datagrams[0], &b = *shared.datagrams[1];
  const auto nobody = a.destGenerate();
  ASSERT_TRUE(nobody.isOk);
  EXPECT_TRUE(a.send(nobody.value.pub, "into the void").isOk) << a.getLastError().reason;
  EXPECT_FALSE(a.isSick());
  deliver(a, b, "still here");
}

}  // namespace
}  // namespace velqor_interop

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new velqor_interop::Environment);  // owned by gtest
  return RUN_ALL_TESTS();
}
