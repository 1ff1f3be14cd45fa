/// \file
/// What every session request returns. Part of <velqor/sam.hpp>.
#ifndef VELQOR_REQUEST_RESULT_HPP
#define VELQOR_REQUEST_RESULT_HPP

#include <velqor/i2p_socket.hpp>

#include <memory>
#include <utility>

namespace SAM {

/// The result of a session request: isOk, and a value that is default when isOk is false.
template <class T>
struct RequestResult {
  /// A failure.
  RequestResult() : isOk(false), value() {}
  /// A success with its value.
  explicit RequestResult(const T& value) : isOk(true), value(value) {}

  bool isOk;  ///< whether the request succeeded
  T value;    ///< what it gave; default on failure
};

/// The result of a request that gives nothing but success or failure.
template <>
struct RequestResult<void> {
  /// A failure.
  RequestResult() : isOk(false) {}
  /// A success when `isOk`, else a failure.
  explicit RequestResult(bool isOk) : isOk(isOk) {}

  bool isOk;  ///< whether the request succeeded
};

/// The result of accept and connect: on success it owns the stream's connection. Move-only,
/// since the connection has exactly one owner.
template <>
struct RequestResult<std::unique_ptr<I2pSocket>> {
  /// A failure, owning nothing.
  RequestResult() : isOk(false), value() {}
  /// A success that owns the stream's connection.
  explicit RequestResult(std::unique_ptr<I2pSocket>&& value)
      : isOk(true), value(std::move(value)) {}
  /// Moves the connection's ownership along.
  RequestResult(RequestResult&&) = default;
  /// Moves the connection's ownership along; the connection held before is closed.
  RequestResult& operator=(RequestResult&&) = default;
  RequestResult(const RequestResult&) = delete;
  RequestResult& operator=(const RequestResult&) = delete;

  bool isOk;                         ///< whether the request succeeded
  std::unique_ptr<I2pSocket> value;  ///< the stream's connection; null on failure
};

}  // namespace SAM

#endif  // VELQOR_REQUEST_RESULT_HPP
