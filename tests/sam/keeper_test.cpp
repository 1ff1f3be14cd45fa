// Liveness of the control connection, and the keeper's rebuilds and waits, against the fake
// bridge, with a fake clock for the keeper: a wait is recorded and advances it.
#include <gtest/gtest.h>

#include <tuple>

#include <velqor/sam.hpp>

#include "fake_bridge.hpp"

namespace {

using SAM::ErrorCode;
using State = SAM::SessionKeeper::State;
using velqor_test::BridgeConnection;
using velqor_test::FakeBridge;
using velqor_test::testKeyPriv;
using Event = std::tuple<State, ErrorCode, long>;  // a report, with backoff() in milliseconds

const char* const kHost = "127.0.0.1";
const std::string kCreated = "SESSION STATUS RESULT=OK DESTINATION=" + testKeyPriv() + "\n";
const std::string kRefused = "SESSION STATUS RESULT=I2P_ERROR\n";
const std::chrono::hours kLong(24);

// Answers `prefix` lines with `ok` or `refused` as `outcomes` says in turn (then `ok`), calling
// `beforeRefusing` first; returns the connections answered `ok`, as they come.
std::shared_ptr<std::vector<int>> script(
    FakeBridge& bridge, const std::string& prefix, const std::string& ok,
    const std::string& refused, std::vector<bool> outcomes,
    std::function<void()> beforeRefusing = [] {}) {
  auto oks = std::make_shared<std::vector<int>>();
  auto next = std::make_shared<std::atomic<std::size_t>>(0);
  bridge.on(prefix, [=](BridgeConnection& conn, const std::string&) {
    const std::size_t i = (*next)++;
    const bool isOk = i >= outcomes.size() || outcomes[i];
    isOk ? oks->push_back(conn.id()) : beforeRefusing();
    conn.send(isOk ? ok : refused);
  });
  return oks;
}

struct Kept {
  Kept(uint16_t port, const std::string& destination = "TRANSIENT")
      : keeper(std::make_unique<SAM::StreamSession>("nick", kHost, port, destination, ""),
               {[this] { return now; },
                [this](std::chrono::milliseconds duration) {
                  waits.push_back(duration.count());
                  now += duration;
                }}) {
    keeper.setListener([this](State state, const SAM::Error& reason) {
      events.emplace_back(state, reason.code, static_cast<long>(keeper.backoff().count()));
    });
  }
  std::chrono::steady_clock::time_point now{};
  std::vector<long> waits;
  std::vector<Event> events;
  SAM::SessionKeeper keeper;
};

// The session is ended at the bridge, the rebuild refused once per back-off, then made; the
// rebuilt session is ended and refused once more, so the back-off starts again. Each refused
// attempt takes 700 ms of the keeper's clock: the back-off counts from its end.
TEST(SessionKeeperTest, BackoffDoublesToFiveMinutesAndStartsAgainAfterASuccess) {
  const std::vector<long> backoffs = {1000,  2000,   4000,   8000,   16000, 32000,
                                      64000, 128000, 256000, 300000, 300000};
  FakeBridge bridge;
  std::vector<bool> outcomes{true};
  outcomes.insert(outcomes.end(), backoffs.size(), false);
  outcomes.insert(outcomes.end(), {true, false, true});
  Kept* slow = nullptr;  // the keeper waits for the reply meanwhile
  const auto controls = script(bridge, "SESSION CREATE", kCreated, kRefused, outcomes,
                               [&] { slow->now += std::chrono::milliseconds(700); });
  Kept kept(bridge.port());
  slow = &kept;
  std::vector<long> waits{10000};  // the release delay first
  std::vector<Event> events{{State::HEALTHY, ErrorCode::NONE, 0},
                            {State::REBUILDING, ErrorCode::CLOSED, 10000}};
  for (long backoff : backoffs) {
    waits.push_back(backoff);
    events.emplace_back(State::ATTEMPT_FAILED, ErrorCode::REFUSED, backoff);
  }
  waits.insert(waits.end(), {10000, 1000});
  events.insert(events.end(), {{State::REBUILT, ErrorCode::NONE, 0},
                               {State::REBUILDING, ErrorCode::CLOSED, 10000},
                               {State::ATTEMPT_FAILED, ErrorCode::REFUSED, 1000},
                               {State::REBUILT, ErrorCode::NONE, 0}});
  for (int loss = 0; loss < 3; ++loss) {
    if (loss > 0) bridge.closeConnection(controls->back());
    EXPECT_TRUE(kept.keeper.keep(kLong));
  }
  EXPECT_EQ(kept.waits, waits);
  EXPECT_EQ(kept.events, events);
  EXPECT_EQ(bridge.linesStartingWith("SESSION CREATE").size(), outcomes.size());
}

// A session whose creation failed (the router was down when the program started) is rebuilt
// with the destination it asked for, the first attempt at once. keep() waits only within its
// budget, the rest of it once the next attempt does not fit; with a budget of zero it makes
// only an attempt that is due.
TEST(SessionKeeperTest, WaitsOnlyWithinTheBudgetAndRebuildsANeverCreatedSessionAtOnce) {
  for (const std::string& destination : {testKeyPriv(), std::string("TRANSIENT")}) {
    FakeBridge bridge;
    const auto controls =
        script(bridge, "SESSION CREATE", kCreated, kRefused, {false, false, false});
    Kept kept(bridge.port(), destination);
    std::vector<bool> results;
    for (long budget : {0, 0, 1500, 0, 1500}) {
      results.push_back(kept.keeper.keep(std::chrono::milliseconds(budget)));
    }
    for (const std::string& line : bridge.linesStartingWith("SESSION CREATE")) {
      EXPECT_NE(line.find(" DESTINATION=" + destination + " "), std::string::npos);
    }
    bridge.closeConnection(controls->back());  // made at last, it waits the release delay now
    results.push_back(kept.keeper.keep(kLong));
    EXPECT_EQ(results, (std::vector<bool>{false, false, false, false, true, true}));
    EXPECT_EQ(kept.waits, (std::vector<long>{1000, 500, 1500, 10000}));
    EXPECT_EQ(kept.events, (std::vector<Event>{{State::REBUILDING, ErrorCode::REFUSED, 0},
                                               {State::ATTEMPT_FAILED, ErrorCode::REFUSED, 1000},
                                               {State::ATTEMPT_FAILED, ErrorCode::REFUSED, 2000},
                                               {State::REBUILT, ErrorCode::NONE, 0},
                                               {State::REBUILDING, ErrorCode::CLOSED, 10000},
                                               {State::REBUILT, ErrorCode::NONE, 0}}));
  }
}

// A refused creation, then a creation whose second forward is refused: the attempt that succeeds
// makes every forward again, in order, under its own identifier. A session made sick by a
// request is ended at the bridge before the release delay.
TEST(SessionKeeperTest, RebuildMakesTheForwardsAgainInOrderAfterFailedAttempts) {
  FakeBridge bridge;
  const auto controls =
      script(bridge, "SESSION CREATE", kCreated, kRefused, {true, false, true, true});
  script(bridge, "STREAM FORWARD", "STREAM STATUS RESULT=OK\n", "STREAM STATUS RESULT=I2P_ERROR\n",
         {true, true, true, false});
  Kept kept(bridge.port());
  ASSERT_TRUE(kept.keeper.session().forward(kHost, 7001, true).isOk);
  ASSERT_TRUE(kept.keeper.session().forward(kHost, 7002, false).isOk);
  bridge.closeConnection(0);
  EXPECT_TRUE(kept.keeper.keep(kLong));
  const std::string id = kept.keeper.session().getSessionID();
  const auto forwards = bridge.linesStartingWith("STREAM FORWARD");
  ASSERT_EQ(forwards.size(), 6u);
  EXPECT_EQ(forwards[4], "STREAM FORWARD ID=" + id + " PORT=7001 HOST=127.0.0.1 SILENT=true\n");
  EXPECT_EQ(forwards[5], "STREAM FORWARD ID=" + id + " PORT=7002 HOST=127.0.0.1 SILENT=false\n");
  EXPECT_EQ(kept.events.size(), 4u);
  EXPECT_EQ(kept.waits, (std::vector<long>{10000, 1000, 2000}));

  bridge.on("STREAM CONNECT", "STREAM STATUS RESULT=I2P_ERROR\n");
  EXPECT_FALSE(kept.keeper.session().connect("peer", false).isOk);
  EXPECT_FALSE(kept.keeper.keep(std::chrono::milliseconds(0)));
  bridge.waitUntilClosed(controls->back());
}

// checkAlive() sees the end of the control connection also behind bytes the bridge sent first,
// and the bytes alone are no end.
TEST(CheckAliveTest, SeesTheBridgeEndTheControlConnectionBehindUnreadBytes) {
  for (bool closes : {false, true}) {
    FakeBridge bridge;
    const auto arrived = bridge.makeGate();
    bridge.on("SESSION CREATE", [closes, arrived](BridgeConnection& conn, const std::string&) {
      conn.sendSplit({kCreated, kRefused});  // the client reads its reply before the rest comes
      conn.waitUntilPeerHas(false);
      closes ? conn.close() : arrived->open();
    });
    SAM::StreamSession session("nick", kHost, bridge.port(), "TRANSIENT", "");
    closes ? bridge.waitUntilClosed(0) : arrived->wait();
    EXPECT_EQ(session.checkAlive(), !closes);
    EXPECT_EQ(session.isSick(), closes);
    EXPECT_EQ(session.getLastError().code, closes ? ErrorCode::CLOSED : ErrorCode::NONE);
  }
}

}  // namespace
