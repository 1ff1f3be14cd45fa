// Liveness of the control connection, the keeper's rebuilds and back-off, and key files made by
// the bridge, against the fake bridge. The keeper's clock is a fake one: waits are recorded and
// advance it, so no test sleeps.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <velqor/sam.hpp>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "fake_bridge.hpp"

namespace {

using SAM::ErrorCode;
using SAM::SessionKeeper;
using SAM::StreamSession;
using State = SAM::SessionKeeper::State;
using velqor_test::BridgeConnection;
using velqor_test::FakeBridge;
using velqor_test::testKeyPriv;
using velqor_test::testKeyPub;

const char* const kHost = "127.0.0.1";
const std::string kCreated = "SESSION STATUS RESULT=OK DESTINATION=" + testKeyPriv() + "\n";
const std::chrono::hours kLongBudget(24);

// Answers lines starting with `prefix` with `ok` or `refused` in turn as `outcomes` says (true:
// ok), then always with `ok`. Connections whose answer was ok are appended to `okConnections`.
void script(FakeBridge& bridge, const std::string& prefix, const std::string& ok,
            const std::string& refused, std::vector<bool> outcomes,
            std::shared_ptr<std::vector<int>> okConnections = nullptr) {
  auto next = std::make_shared<std::atomic<std::size_t>>(0);
  bridge.on(prefix, [=](BridgeConnection& conn, const std::string&) {
    const std::size_t i = (*next)++;
    const bool isOk = i >= outcomes.size() || outcomes[i];
    if (isOk && okConnections) okConnections->push_back(conn.id());
    conn.send(isOk ? ok : refused);
  });
}

void scriptCreations(FakeBridge& bridge, std::vector<bool> outcomes,
                     std::shared_ptr<std::vector<int>> controls = nullptr) {
  script(bridge, "SESSION CREATE", kCreated, "SESSION STATUS RESULT=I2P_ERROR\n",
         std::move(outcomes), std::move(controls));
}

// A keeper on a fake clock, with everything it reports and every wait it asked for.
struct Kept {
  struct Event {
    State state;
    ErrorCode code;
    long backoffMs;
    bool operator==(const Event& o) const {
      return state == o.state && code == o.code && backoffMs == o.backoffMs;
    }
  };

  Kept(uint16_t port, const std::string& destination = "TRANSIENT")
      : keeper(std::make_unique<StreamSession>("nick", kHost, port, destination, ""),
               {[this] { return now; },
                [this](std::chrono::milliseconds duration) {
                  waits.push_back(duration.count());
                  now += duration;
                }}) {
    keeper.setListener([this](State state, const SAM::Error& reason) {
      events.push_back({state, reason.code, static_cast<long>(keeper.backoff().count())});
    });
  }

  std::chrono::steady_clock::time_point now{};
  std::vector<long> waits;
  std::vector<Event> events;
  SessionKeeper keeper;
};

std::ostream& operator<<(std::ostream& out, const Kept::Event& e) {
  return out << "{" << static_cast<int>(e.state) << ", " << static_cast<int>(e.code) << ", "
             << e.backoffMs << "}";
}

std::vector<Kept::Event> failedAttempts(const std::vector<long>& backoffs) {
  std::vector<Kept::Event> events;
  for (long b : backoffs) events.push_back({State::ATTEMPT_FAILED, ErrorCode::REFUSED, b});
  return events;
}

// Each row ends the session at the bridge, refuses the rebuild `failures` times, lets it
// succeed, then ends the rebuilt session and refuses once more: the back-off starts again.
TEST(SessionKeeperTest, BackoffDoublesToFiveMinutesAndStartsAgainAfterASuccess) {
  const std::vector<std::vector<long>> rows = {
      {},
      {1000},
      {1000, 2000, 4000},
      {1000, 2000, 4000, 8000, 16000, 32000, 64000, 128000, 256000, 300000, 300000},
  };
  for (const std::vector<long>& backoffs : rows) {
    SCOPED_TRACE(backoffs.size());
    FakeBridge bridge;
    std::vector<bool> outcomes{true};
    outcomes.insert(outcomes.end(), backoffs.size(), false);
    outcomes.insert(outcomes.end(), {true, false, true});
    auto controls = std::make_shared<std::vector<int>>();
    scriptCreations(bridge, outcomes, controls);
    Kept kept(bridge.port());
    EXPECT_TRUE(kept.keeper.keep(kLongBudget));

    bridge.closeConnection(controls->back());
    EXPECT_TRUE(kept.keeper.keep(kLongBudget));
    std::vector<long> waits{10000};  // the release delay, then the back-off
    waits.insert(waits.end(), backoffs.begin(), backoffs.end());
    EXPECT_EQ(kept.waits, waits);
    EXPECT_EQ(kept.keeper.backoff().count(), 0);
    bridge.closeConnection(controls->back());
    EXPECT_TRUE(kept.keeper.keep(kLongBudget));
    EXPECT_FALSE(kept.keeper.session().isSick());
    waits.insert(waits.end(), {10000, 1000});
    EXPECT_EQ(kept.waits, waits);

    std::vector<Kept::Event> expected{{State::HEALTHY, ErrorCode::NONE, 0},
                                      {State::REBUILDING, ErrorCode::CLOSED, 10000}};
    for (const auto& e : failedAttempts(backoffs)) expected.push_back(e);
    expected.push_back({State::REBUILT, ErrorCode::NONE, 0});
    expected.push_back({State::REBUILDING, ErrorCode::CLOSED, 10000});
    expected.push_back({State::ATTEMPT_FAILED, ErrorCode::REFUSED, 1000});
    expected.push_back({State::REBUILT, ErrorCode::NONE, 0});
    EXPECT_EQ(kept.events, expected);
    EXPECT_EQ(bridge.linesStartingWith("SESSION CREATE").size(), outcomes.size());
  }
}

// keep() waits only within its budget (the rest of it once no attempt fits), and with a budget
// of zero makes only an attempt that is due. Without a release delay the first attempt is due
// at once.
TEST(SessionKeeperTest, WaitsOnlyWithinTheBudget) {
  struct Case {
    std::vector<long> budgets;  // one keep() each, after the session was lost
    std::vector<bool> outcomes;
    std::vector<bool> results;
    std::vector<long> waits;
    std::size_t attempts;
  };
  const std::vector<Case> cases = {
      {{0, 0}, {false}, {false, false}, {}, 1},
      {{1500}, {false, false}, {false}, {1000, 500}, 2},
      {{1500, 0, 1500}, {false, false}, {false, false, true}, {1000, 500, 1500}, 3},
      {{3000}, {false}, {true}, {1000}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.waits.size());
    FakeBridge bridge;
    std::vector<bool> outcomes{true};
    outcomes.insert(outcomes.end(), c.outcomes.begin(), c.outcomes.end());
    scriptCreations(bridge, outcomes);
    Kept kept(bridge.port());
    kept.keeper.setReleaseDelay(std::chrono::milliseconds(0));
    bridge.closeConnection(0);
    std::vector<bool> results;
    for (long budget : c.budgets) {
      results.push_back(kept.keeper.keep(std::chrono::milliseconds(budget)));
    }
    EXPECT_EQ(results, c.results);
    EXPECT_EQ(kept.waits, c.waits);
    EXPECT_EQ(bridge.linesStartingWith("SESSION CREATE").size(), 1 + c.attempts);
  }
}

// A failed creation, then a creation whose second forward fails: the attempt that succeeds still
// makes every forward again, in order, under its own identifier.
TEST(SessionKeeperTest, RebuildMakesTheForwardsAgainInOrderAfterFailedAttempts) {
  FakeBridge bridge;
  auto controls = std::make_shared<std::vector<int>>();
  scriptCreations(bridge, {true, false, true, true}, controls);
  script(bridge, "STREAM FORWARD", "STREAM STATUS RESULT=OK\n", "STREAM STATUS RESULT=I2P_ERROR\n",
         {true, true, true, false});
  Kept kept(bridge.port());
  ASSERT_TRUE(kept.keeper.session().forward(kHost, 7001, true).isOk);
  ASSERT_TRUE(kept.keeper.session().forward(kHost, 7002, false).isOk);
  bridge.closeConnection(0);
  EXPECT_TRUE(kept.keeper.keep(kLongBudget));

  const std::string id = kept.keeper.session().getSessionID();
  const auto forwards = bridge.linesStartingWith("STREAM FORWARD");
  ASSERT_EQ(forwards.size(), 6u);
  EXPECT_EQ(forwards[4], "STREAM FORWARD ID=" + id + " PORT=7001 HOST=127.0.0.1 SILENT=true\n");
  EXPECT_EQ(forwards[5], "STREAM FORWARD ID=" + id + " PORT=7002 HOST=127.0.0.1 SILENT=false\n");
  EXPECT_EQ(kept.events,
            (std::vector<Kept::Event>{{State::REBUILDING, ErrorCode::CLOSED, 10000},
                                      {State::ATTEMPT_FAILED, ErrorCode::REFUSED, 1000},
                                      {State::ATTEMPT_FAILED, ErrorCode::REFUSED, 2000},
                                      {State::REBUILT, ErrorCode::NONE, 0}}));
  EXPECT_EQ(kept.waits, (std::vector<long>{10000, 1000, 2000}));

  // Made sick by a request while its control connection is open: the keeper ends it at the
  // bridge before the release delay starts.
  bridge.on("STREAM CONNECT", "STREAM STATUS RESULT=I2P_ERROR\n");
  EXPECT_FALSE(kept.keeper.session().connect("peer", false).isOk);
  EXPECT_FALSE(kept.keeper.keep(std::chrono::milliseconds(0)));
  bridge.waitUntilClosed(controls->back());
}

// A session whose creation failed (the router was down when the program started) is rebuilt at
// once, with the destination it asked for.
TEST(SessionKeeperTest, ASessionThatWasNeverCreatedIsRebuiltWithTheDestinationItAskedFor) {
  for (const std::string& destination : {testKeyPriv(), std::string("TRANSIENT")}) {
    FakeBridge bridge;
    scriptCreations(bridge, {false});
    Kept kept(bridge.port(), destination);
    EXPECT_TRUE(kept.keeper.keep(std::chrono::milliseconds(0)));
    const auto creations = bridge.linesStartingWith("SESSION CREATE");
    ASSERT_EQ(creations.size(), 2u);
    EXPECT_NE(creations[1].find(" DESTINATION=" + destination + " "), std::string::npos);
    EXPECT_EQ(kept.keeper.session().getMyDestination().pub, testKeyPub());
    EXPECT_EQ(kept.events, (std::vector<Kept::Event>{{State::REBUILDING, ErrorCode::REFUSED, 0},
                                                     {State::REBUILT, ErrorCode::NONE, 0}}));
  }
}

// checkAlive() sees the end of the control connection, also behind bytes the bridge sent first.
TEST(CheckAliveTest, SeesTheBridgeEndTheControlConnection) {
  struct Case {
    const char* name;
    std::string after;  // sent after the reply to SESSION CREATE
    bool closes;
  };
  const std::vector<Case> cases = {
      {"silent", "", false},
      {"bytes", "SESSION STATUS RESULT=I2P_ERROR\n", false},
      {"end", "", true},
      {"bytes then end", "SESSION STATUS RESULT=I2P_ERROR\n", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeBridge bridge;
    bridge.on("SESSION CREATE", [&c](BridgeConnection& conn, const std::string&) {
      // Sent apart, so that the client has read its reply before the bytes come.
      conn.sendSplit(c.after.empty() ? std::vector<std::string>{kCreated}
                                     : std::vector<std::string>{kCreated, c.after});
      if (c.closes) conn.close();
    });
    StreamSession session("nick", kHost, bridge.port(), "TRANSIENT", "");
    if (c.closes) bridge.waitUntilClosed(0);
    EXPECT_EQ(session.checkAlive(), !c.closes);
    EXPECT_EQ(session.isSick(), c.closes);
    EXPECT_EQ(session.getLastError().code, c.closes ? ErrorCode::CLOSED : ErrorCode::NONE);
    EXPECT_FALSE(c.closes && session.checkAlive()) << "a second look agrees";
  }
}

// Writes `text` to `path`; false on failure.
bool writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  return static_cast<bool>(out << text);
}

// A key file is made only where none is: a file that is there but unusable is reported and
// left as it is, a bridge that fails makes nothing, and a file that another program made
// meanwhile wins over the generated key.
TEST(KeyFileTest, LoadOrGenerateMakesAKeyOnlyWhereNoneIs) {
  SAM::FullDestination other;  // a second whole key, for the bridge to hand out
  ASSERT_TRUE(SAM::loadKeyFile(VELQOR_TEST_DATA_DIR "/i2pd-p521.dat", other).ok());
  enum Before { NOTHING, KEY, JUNK, KEY_MEANWHILE };
  struct Case {
    const char* name;
    Before before;
    std::string reply;  // to DEST GENERATE; "": the bridge closes the connection
    ErrorCode code;
    std::string result;  // the private destination loaded and in the file ("": none)
  };
  const std::string generated = "DEST REPLY PUB=" + testKeyPub() + " PRIV=" + testKeyPriv() + "\n";
  const std::vector<Case> cases = {
      {"no file", NOTHING, generated, ErrorCode::NONE, testKeyPriv()},
      {"a key", KEY, "", ErrorCode::NONE, testKeyPriv()},
      {"not a key", JUNK, generated, ErrorCode::KEY_FILE, ""},
      {"bridge closes", NOTHING, "", ErrorCode::CLOSED, ""},
      {"no keys in reply", NOTHING, "DEST REPLY RESULT=I2P_ERROR\n", ErrorCode::PROTOCOL, ""},
      {"made meanwhile", KEY_MEANWHILE, "DEST REPLY PUB=x PRIV=" + other.priv + "\n",
       ErrorCode::NONE, testKeyPriv()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    char directory[] = "/tmp/velqor-keeper-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    const std::string path = std::string(directory) + "/site.dat";
    FakeBridge bridge;
    bridge.on("DEST GENERATE", [&](BridgeConnection& conn, const std::string&) {
      if (c.before == KEY_MEANWHILE) SAM::saveKeyFile(path, testKeyPriv());
      if (c.reply.empty()) return conn.close();
      conn.send(c.reply);
    });
    ASSERT_TRUE(c.before != KEY || SAM::saveKeyFile(path, testKeyPriv()).ok());
    ASSERT_TRUE(c.before != JUNK || writeFile(path, "not a key"));

    SAM::FullDestination destination;
    const SAM::Error error = SAM::loadOrGenerateKeyFile(path, kHost, bridge.port(), destination);
    EXPECT_EQ(error.code, c.code) << error.reason;
    EXPECT_EQ(
        bridge.linesStartingWith("DEST GENERATE SIGNATURE_TYPE=EdDSA_SHA512_Ed25519\n").size(),
        c.before == NOTHING || c.before == KEY_MEANWHILE ? 1u : 0u);
    EXPECT_EQ(destination.priv, c.result);
    SAM::FullDestination inFile;
    SAM::loadKeyFile(path, inFile);
    EXPECT_EQ(inFile.priv, c.result);
    if (c.before == JUNK) {
      std::ifstream in(path, std::ios::binary);
      EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "not a key");
    }
    EXPECT_EQ(std::system(("rm -r " + std::string(directory)).c_str()), 0);
  }
}

}  // namespace
