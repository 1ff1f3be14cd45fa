// What every session request returns. Part of <velqor/sam.hpp>.
#ifndef VELQOR_REQUEST_RESULT_HPP
#define VELQOR_REQUEST_RESULT_HPP

#include <velqor/i2p_socket.hpp>

#include <memory>
#include <utility>

namespace SAM {

// The result of a session request: isOk, and a value that is default when isOk is false.
template <class T>
struct RequestResult {
  RequestResult() : isOk(false), value() {}
  explicit RequestResult(const T& value) : isOk(true), value(value) {}

  bool isOk;
  T value;
};

template <>
struct RequestResult<void> {
  RequestResult() : isOk(false) {}
  explicit RequestResult(bool isOk) : isOk(isOk) {}

  bool isOk;
};

// The result of accept and connect: on success it owns the stream's connection. Move-only,
// since the connection has exactly one owner.
template <>
struct RequestResult<std::unique_ptr<I2pSocket>> {
  RequestResult() : isOk(false), value() {}
  explicit RequestResult(std::unique_ptr<I2pSocket>&& value)
      : isOk(true), value(std::move(value)) {}
  RequestResult(RequestResult&&) = default;
  RequestResult& operator=(RequestResult&&) = default;
  RequestResult(const RequestResult&) = delete;
  RequestResult& operator=(const RequestResult&) = delete;

  bool isOk;
  std::unique_ptr<I2pSocket> value;
};

}  // namespace SAM

#endif  // VELQOR_REQUEST_RESULT_HPP
