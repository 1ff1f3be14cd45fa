// Many echo streams moved on from one thread: what the interop load test and bench_load share.
#ifndef VELQOR_TESTS_ECHO_PUMP_HPP
#define VELQOR_TESTS_ECHO_PUMP_HPP

#include <velqor/operation.hpp>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace velqor_test {

// The bytes of client stream `stream` from `offset` on, made and checked a piece at a time, so
// that a stream costs no buffer of its whole size.
constexpr std::size_t kEchoPiece = 16 * 1024;
void fillEchoBytes(char* piece, int stream, std::size_t offset, std::size_t length);
bool areEchoBytes(const char* piece, int stream, std::size_t offset, std::size_t length);

struct EchoOutcome {
  int wrong = 0;        // clients whose stream ended before its bytes came back whole
  int failed = 0;       // operations that failed
  int stalled = 0;      // clients still waiting when nothing moved for `stallMs`
  std::string failure;  // the reason of the first operation that failed
  bool ok() const { return wrong == 0 && failed == 0 && stalled == 0; }
};

// Drives the accepts `operations` until each waits for its peer or has ended, so that peers that
// come next find their accept at the bridge.
void waitUntilAccepting(const std::vector<std::unique_ptr<SAM::Operation>>& operations);

// The most connects under way at once: i2pd 2.45.1 closes the incoming streams of a session
// beyond 128 that wait to be handed to an accept, even while many accepts wait at the bridge.
constexpr int kConnectsAtOnce = 64;

// Drives the `accepts` and `clients` connects (made by `connect`, at most kConnectsAtOnce under
// way at a time) to their end and then every stream they became, all from this thread in one
// epoll loop: an accepted stream echoes what it gets; a connected one (the n-th to come about)
// sends `size` bytes of its own and checks them as they come back. Returns once every client has
// had its bytes back, its stream ended or its operation failed, or once nothing at all has
// moved for `stallMs`. `onStream` is told of each stream that comes about. Every descriptor is
// closed before it returns.
EchoOutcome pumpEchoes(std::vector<std::unique_ptr<SAM::Operation>> accepts,
                       const std::function<std::unique_ptr<SAM::Operation>()>& connect, int clients,
                       std::size_t size, int stallMs, const std::function<void()>& onStream = {});

}  // namespace velqor_test

#endif  // VELQOR_TESTS_ECHO_PUMP_HPP
