// The library, its C interface and tessivar against a private i2pd router, with sessions that
// are all made at once before the tests (about 20 s each there, whatever else runs) and shared.
#include <gtest/gtest.h>
#include <velqor/velqor.h>
#include <map>
#include <random>
#include <sstream>
#include "fake_bridge.hpp"   // testKeyPriv(), testKeyPub()
#include "i2pd_harness.hpp"  // <velqor/sam.hpp>, sockets, threads and files

namespace velqor_interop {
namespace {

using SAM::DatagramSession;
using SAM::StreamSession;
constexpr char kSiteName[] = "velqor-site.i2p";  // the address book's name for the test key

// Shared by the tests; the router last, to be reset after the sessions. `rebuildable` serves the
// rebuild alone: on i2pd 2.45 a destination taken again stops publishing its lease set.
struct Shared {
  std::unique_ptr<StreamSession> client, fixed, transient, rebuildable;
  std::unique_ptr<StreamSession> notFound, stopped;  // eepsites for tessivar --check
  std::unique_ptr<DatagramSession> datagrams[4];     // [0] and [1] DATAGRAM, [2] and [3] RAW
  velqor_stream_session* c = nullptr;                // the C interface; connects and accepts
  velqor_datagram_session* cDatagrams[2] = {};       // the C interface: DATAGRAM, RAW
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
    const std::string keys[] = {"TRANSIENT", velqor_test::testKeyPriv(),
                                "TRANSIENT", "TRANSIENT",
                                "TRANSIENT", "TRANSIENT"};
    const SAM::TimeLimits limits{{}, {}, std::chrono::seconds(30)};  // read: for a lost datagram
    std::future<std::unique_ptr<StreamSession>> streams[6];
    std::future<std::unique_ptr<DatagramSession>> datagrams[4];
    for (int i = 0; i < 6; ++i) {
      streams[i] = startMaking<StreamSession>("interop", kRouterHost, port, keys[i],
                                              i == 0 ? kZeroHopOptions : kServerSessionOptions);
    }
    for (int i = 0; i < 4; ++i) {
      datagrams[i] = startMaking<DatagramSession>(
          "interop", kRouterHost, port, i < 2 ? SAM::Message::DATAGRAM : SAM::Message::RAW,
          "TRANSIENT", kServerSessionOptions, limits);
    }
    const velqor_settings settings{kRouterHost, port, "interop", kServerSessionOptions,
                                   "TRANSIENT"};
    velqor_limits* read = velqor_limits_new();  // for a lost datagram, as above
    velqor_limits_set_read(read, 30000);
    std::future<velqor_datagram_session*> cDatagrams[2];
    for (int i = 0; i < 2; ++i) {
      cDatagrams[i] = std::async(std::launch::async, [&settings, read, i] {
        return velqor_datagram_session_new(&settings, i == 0 ? VELQOR_DATAGRAM : VELQOR_RAW, read);
      });
    }
    shared.c = velqor_stream_session_new(&settings);  // meanwhile
    const auto made = [](auto& future) {
      auto session = future.get();
      EXPECT_FALSE(session->isSick()) << session->getLastError().reason << shared.router->logTail();
      return session;
    };
    shared.client = made(streams[0]);
    shared.fixed = made(streams[1]);
    shared.transient = made(streams[2]);
    shared.rebuildable = made(streams[3]);
    shared.notFound = made(streams[4]);
    shared.stopped = made(streams[5]);
    for (int i = 0; i < 4; ++i) shared.datagrams[i] = made(datagrams[i]);
    for (int i = 0; i < 2; ++i) shared.cDatagrams[i] = cDatagrams[i].get();
    velqor_limits_free(read);
    ASSERT_EQ(velqor_is_sick(shared.c), 0) << shared.router->logTail();
    for (auto* c : shared.cDatagrams) ASSERT_EQ(velqor_datagram_session_is_sick(c), 0);
  }

  void TearDown() override {
    velqor_stream_session_free(shared.c);
    for (auto* c : shared.cDatagrams) velqor_datagram_session_free(c);
    shared = Shared();
  }
};

// `size` pseudo-random bytes drawn from `seed`; one in eight is zero, often several in a row.
std::string patternBytes(std::size_t size, uint32_t seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = generator() % 8 == 0 ? '\0' : static_cast<char>(generator());
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
    const std::unique_ptr<char, void (*)(void*)> chunk(velqor_read(socket, &length), std::free);
    return chunk ? std::string(chunk.get(), length) : "";
  }
  velqor_socket* socket;
};

// Reads until `size` bytes have arrived or the stream has ended.
template <class Socket>
std::string readUpTo(Socket& socket, std::size_t size = SIZE_MAX) {
  std::string received, chunk;
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

TEST(Bridge, GeneratedPublicDestinationIsTheOneDerivedFromThePrivate) {
  EXPECT_EQ(shared.client->getSAMVersion(), "3.1");  // SIGNATURE_TYPE needs 3.1
  const auto generated = shared.client->destGenerate();
  ASSERT_TRUE(generated.isOk);
  EXPECT_EQ(SAM::derivePublicDestination(generated.value.priv), generated.value.pub);
  EXPECT_FALSE(shared.client->isSick());
}

TEST(Bridge, NamingLookupResolvesAddressBookNamesAndB32Addresses) {
  const std::string& pub = velqor_test::testKeyPub();
  EXPECT_FALSE(shared.client->namingLookup("nobody-here.i2p").isOk);
  EXPECT_FALSE(shared.client->isSick()) << "an unknown name is no fault of the session";
  EXPECT_EQ(shared.client->namingLookup(kSiteName).value, pub);
  // The router resolves the b32 address we compute to the destination it stands for.
  EXPECT_EQ(shared.client->namingLookup(SAM::b32Address(pub)).value, pub);
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
  EXPECT_FALSE(shared.client->isSick());
}

// A mebibyte each way between the client and each server. The first piece waits in the bridge
// until the server accepts, so the server gets it glued to the peer's destination line.
TEST(Streams, CarryAMebibyteEachWayToATransientAndToTheTestKeysDestination) {
  for (StreamSession* server : {shared.transient.get(), shared.fixed.get()}) {
    SCOPED_TRACE(server == shared.fixed.get() ? "the test key's destination" : "a transient one");
    auto connected = shared.client->connect(server->getMyDestination().pub, false);
    ASSERT_TRUE(connected.isOk);
    const std::string upload = patternBytes(1 << 20, 1);
    connected.value->write(upload.substr(0, 1000));
    auto accepted = server->accept(false);
    ASSERT_TRUE(accepted.isOk);
    EXPECT_EQ(accepted.value->readLine(), shared.client->getMyDestination().pub + "\n");
    exchange(*connected.value, *accepted.value, upload, patternBytes(1 << 20, 2), 1000);
    connected.value->close();
    EXPECT_EQ(readUpTo(*accepted.value), "") << "the client's close ends the server's stream";
    EXPECT_FALSE(shared.client->isSick());
    EXPECT_FALSE(server->isSick());
  }
}

// With SILENT=true the accepting side gets no STREAM STATUS line: the client's first bytes are a
// line, which a library that waited for a reply would take for it.
TEST(SilentStream, AcceptHandsOverTheClientsFirstBytes) {
  auto serverSide = std::async(std::launch::async, [] {
    auto accepted = shared.transient->accept(true);
    return accepted.isOk ? readUpTo(*accepted.value, 11) : "(accept failed)";
  });
  sendThroughI2p(shared.transient->getMyDestination().pub, "first line\n");
  EXPECT_EQ(serverSide.get(), "first line\n");
  EXPECT_FALSE(shared.transient->isSick());
}

// i2pd allows one forward per session ("Already accepting"), so the second forward succeeds only
// when stopForwarding has really ended the first. The rebuilt session takes the same destination
// under a new identifier and forwards again. On i2pd 2.45 that destination no longer publishes its
// lease set, so only peers that reached it before (here the client) reach it again.
TEST(Forward, DeliversStreamsUntilStoppedAndAgainAfterTheRebuild) {
  StreamSession& old = *shared.rebuildable;
  const SAM::FullDestination destination = old.getMyDestination();
  LocalServer first, second;
  ASSERT_TRUE(old.forward(kRouterHost, first.port(), false).isOk);
  const std::string payload = patternBytes(64 * 1024, 4);
  sendThroughI2p(destination.pub, payload);
  // Not silent: the local server first learns the peer's destination.
  EXPECT_TRUE(sameBytes(shared.client->getMyDestination().pub + "\n" + payload, first.received(0)));
  old.stopForwarding(kRouterHost, first.port());
  ASSERT_TRUE(old.forward(kRouterHost, second.port(), true).isOk);
  sendThroughI2p(destination.pub, "to the second server");
  EXPECT_EQ(second.received(0), "to the second server");

  auto rebuilt = std::make_unique<StreamSession>(old);
  EXPECT_TRUE(old.isSick());
  ASSERT_FALSE(rebuilt->isSick()) << shared.router->logTail();
  EXPECT_NE(rebuilt->getSessionID(), old.getSessionID());
  EXPECT_EQ(rebuilt->getMyDestination().priv, destination.priv);
  shared.rebuildable = std::move(rebuilt);
  sendThroughI2p(destination.pub, "after the rebuild");
  EXPECT_EQ(second.received(1), "after the rebuild");
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
// through a forward of the test key's session, and, in a second run at the same time, checks
// the sites it lists: that session itself (200), a site that answers 404, one whose session
// has ended, and forty names the router does not know.
TEST(Tessivar, ListsTheEepsitesOfASitePublishedThroughForwardAndChecksThem) {
  std::string html = "<table><tr><td><a href=\"http://not-a-row.i2p/\">a</a></td></tr>\n", rows;
  const auto addRow = [&](const std::string& host, const std::string& helper,
                          const std::string& host2) {
    html += "<tr><td><a href=\"http://" + host + "/?i2paddresshelper=" + helper +
            "\">a</a> <a href=\"http://" + host2 + "/\">b</a></td></tr>\n";
    rows += host + "  " + helper + "  " + host2 + "\r\n";
  };
  for (int i = 10; i < 50; ++i) {
    const std::string n = std::to_string(i);
    addRow("site" + n + ".i2p", "Ab~" + n + std::string(40, 'a' + i % 26), "mirror" + n + ".i2p");
  }
  addRow("served.i2p", velqor_test::testKeyPub(), "s.i2p");
  addRow("missing.i2p", shared.notFound->getMyDestination().pub, "m.i2p");
  addRow("stopped.i2p", shared.stopped->getMyDestination().pub, "x.i2p");
  html += "</table>\n";
  LocalServer site([&html](int fd) {
    std::string request = receiveUntil(fd, "\r\n\r\n");
    const std::string response =
        "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(html.size()) + "\r\n\r\n" + html;
    ::send(fd, response.data(), response.size(), MSG_NOSIGNAL);  // blocks until all is queued
    return request;
  });
  LocalServer notFound([](int fd) {
    std::string request = receiveUntil(fd, "\r\n\r\n");
    const std::string response = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
    ::send(fd, response.data(), response.size(), MSG_NOSIGNAL);
    return request;
  });
  // Silent: an HTTP server would answer a destination line with 400 Bad Request.
  ASSERT_TRUE(shared.fixed->forward(kRouterHost, site.port(), true).isOk);
  ASSERT_TRUE(shared.notFound->forward(kRouterHost, notFound.port(), true).isOk);
  shared.stopped.reset();  // its lease set may still be known to the router
  const std::string address = SAM::b32Address(velqor_test::testKeyPub());
  const std::string out = shared.router->file("tessivar");  // .txt: its output file
  const auto tessivar = [&](const std::string& options, const std::string& to) {
    const std::string command = "timeout 120 " VELQOR_TESSIVAR_PATH " --sam=127.0.0.1:" +
                                std::to_string(shared.router->samPort()) + " --site=" + address +
                                " '--i2cp-options=" + kZeroHopOptions + "' " + options + " " + to +
                                ".txt >" + to + ".out 2>" + to + ".err </dev/null";
    return std::async(std::launch::async, [command] { return std::system(command.c_str()); });
  };
  auto listing = tessivar("", out);  // about 20 s each, at the same time
  auto check = tessivar("--check --check-timeout=5", out + "-check");
  EXPECT_EQ(listing.get(), 0) << readTextFile(out + ".err");
  EXPECT_EQ(check.get(), 0) << readTextFile(out + "-check.err");
  EXPECT_NE(readTextFile(out + ".out").find("; \n43 eepsites\n"), std::string::npos);
  EXPECT_EQ(readTextFile(out + ".txt"), rows);
  EXPECT_EQ(readTextFile(out + "-check.txt"), rows);
  EXPECT_EQ(site.received(0).rfind("GET / HTTP/1.1\r\nHost: " + address + "\r\n", 0), 0u)
      << site.received(0);

  // Each line: host, state, status, milliseconds, via, cause.
  std::istringstream lines(readTextFile(out + "-check.out"));
  std::map<std::string, std::string> reported;
  for (std::string line; std::getline(lines, line);) {
    const std::size_t tab = line.find('\t');
    std::string fields = line.substr(tab + 1);
    const std::size_t time = fields.find('\t', fields.find('\t') + 1) + 1;
    const std::size_t timeEnd = fields.find('\t', time);
    if (fields.substr(time, timeEnd - time) != "-") fields.replace(time, timeEnd - time, "T");
    reported[line.substr(0, tab)] = fields;
  }
  EXPECT_EQ(reported.size(), 43u);
  EXPECT_EQ(reported["served.i2p"], "up\t200\tT\thelper\t-");
  EXPECT_EQ(reported["missing.i2p"], "up\t404\tT\thelper\t-");
  const std::string stopped = reported["stopped.i2p"];
  EXPECT_TRUE(stopped == "down\t-\t-\thelper\tno reply within 5 s" ||
              stopped == "down\t-\t-\thelper\tunreachable (no lease set found)" ||
              stopped == "down\t-\t-\thelper\trefused (the stream closed without a reply)")
      << stopped;
  EXPECT_EQ(reported["site10.i2p"], "down\t-\t-\tname\taddress unknown");
  EXPECT_NE(readTextFile(out + "-check.err").find("\n43 eepsites, 2 answered\n"),
            std::string::npos);
  std::cerr << "stopped.i2p: " << stopped << "\n";  // i2pd's answer for it may vary
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

// The C interface in both styles: a datagram to the C++ session of its style, and the answer.
TEST(CInterface, SendsAndReceivesDatagramsInBothStyles) {
  for (int i = 0; i < 2; ++i) {
    velqor_datagram_session* c = shared.cDatagrams[i];
    DatagramSession& peer = *shared.datagrams[2 * i];
    velqor_destination* own = velqor_datagram_session_destination(c);
    const std::unique_ptr<char, void (*)(void*)> pub(velqor_destination_pub(own), std::free);
    velqor_destination_free(own);
    const std::string out = patternBytes(1000, 9), back("\0back", 5);
    const std::string& peerPub = peer.getMyDestination().pub;
    ASSERT_EQ(velqor_datagram_send(c, peerPub.c_str(), out.data(), out.size()), 0);
    const auto got = peer.receive();
    EXPECT_TRUE(sameBytes(out, got.value.payload)) << peer.getLastError().reason;
    EXPECT_EQ(got.value.sender, i == 0 ? pub.get() : "");
    ASSERT_TRUE(peer.send(pub.get(), back).isOk);
    void* payload = nullptr;
    char* sender = nullptr;
    std::size_t length = 0;
    ASSERT_EQ(velqor_datagram_receive(c, &payload, &length, &sender), 0);
    EXPECT_EQ(std::string(static_cast<char*>(payload), length), back);
    EXPECT_EQ(sender ? std::string(sender) : "", i == 0 ? peerPub : "");
    std::free(payload);
    std::free(sender);
  }
}

}  // namespace
}  // namespace velqor_interop

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new velqor_interop::Environment);  // owned by gtest
  return RUN_ALL_TESTS();
}
