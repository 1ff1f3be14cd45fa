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
  int wrong = 0;        // clients whose bytes did not come back whole
  std::string failure;  // the reason of the first operation that failed, which ends the pump
};

// Drives `operations` (accepts and connects) to their end and then every stream they became, all
// from this thread in one epoll loop: an accepted stream echoes what it gets; a connected one
// (the n-th to come about) sends `size` bytes of its own and checks them as they come back.
// Returns once every client has had its bytes back or its stream ended. `onStream` is told of
// each stream that comes about. Every descriptor is closed before it returns.
EchoOutcome pumpEchoes(std::vector<std::unique_ptr<SAM::Operation>> operations, std::size_t size,
                       const std::function<void()>& onStream = {});

}  // namespace velqor_test

#endif  // VELQOR_TESTS_ECHO_PUMP_HPP
