// The C interface of stream connections: reads, writes, limits, cancellation, reasons, and
// giving the descriptor away.
#include <unistd.h>
#include <velqor/velqor.h>
#include <velqor/i2p_socket.hpp>

#include <string>

#include "sam/c/guard.hpp"
#include "sam/c/handles.hpp"

namespace {

using velqor_c::guarded;
using velqor_c::socketOf;

}  // namespace

extern "C" {

void velqor_write(velqor_socket* socket, const void* data, size_t length) {
  SAM::I2pSocket* s = socketOf(socket);
  if (s == nullptr || (data == nullptr && length > 0)) return;
  guarded([&] {
    if (length == 0) {
      s->write(std::string());  // the library closes the connection on an empty write
    } else {
      s->write(std::string(static_cast<const char*>(data), length));
    }
  });
}

char* velqor_read(velqor_socket* socket, size_t* length) {
  if (length == nullptr) return nullptr;
  *length = 0;
  SAM::I2pSocket* s = socketOf(socket);
  if (s == nullptr) return nullptr;
  // NULL must mean "the connection is over". When the bytes cannot be handed over, they are
  // lost and the stream is no longer whole, so the connection is closed rather than left open.
  std::string bytes;
  if (!guarded([&] { bytes = s->read(); })) {
    s->close();
    return nullptr;
  }
  if (bytes.empty()) return nullptr;
  char* buffer = velqor_c::copyBytes(bytes);
  if (buffer == nullptr) {
    s->close();
    return nullptr;
  }
  *length = bytes.size();
  return buffer;
}

void velqor_socket_close(velqor_socket* socket) {
  SAM::I2pSocket* s = socketOf(socket);
  if (s != nullptr) s->close();
}

int velqor_socket_is_ok(const velqor_socket* socket) {
  const SAM::I2pSocket* s = socketOf(socket);
  return s != nullptr && s->isOk() ? 1 : 0;
}

void velqor_socket_free(velqor_socket* socket) { delete socket; }

void velqor_socket_set_limits(velqor_socket* socket, const velqor_limits* limits) {
  SAM::I2pSocket* s = socketOf(socket);
  if (s != nullptr) s->setTimeLimits(velqor_c::limitsOf(limits));
}

void velqor_socket_cancel(velqor_socket* socket) {
  SAM::I2pSocket* s = socketOf(socket);
  if (s != nullptr) s->cancel();
}

char* velqor_socket_last_error(const velqor_socket* socket) {
  const SAM::I2pSocket* s = socketOf(socket);
  return s == nullptr ? nullptr : velqor_c::reasonOf(s->getLastError());
}

int velqor_socket_last_error_code(const velqor_socket* socket) {
  const SAM::I2pSocket* s = socketOf(socket);
  return s == nullptr ? VELQOR_ERROR_NONE : static_cast<int>(s->getLastError().code);
}

int velqor_socket_release(velqor_socket* socket, char** kept, size_t* kept_length) {
  if (kept != nullptr) *kept = nullptr;
  if (kept_length != nullptr) *kept_length = 0;
  SAM::I2pSocket* s = socketOf(socket);
  if (s == nullptr || !s->isOk()) return -1;
  if (kept == nullptr || kept_length == nullptr) return s->release();
  std::string bytes;
  const int fd = s->release(bytes);
  if (bytes.empty() || fd < 0) return fd;
  *kept = velqor_c::copyBytes(bytes);
  if (*kept == nullptr) {
    ::close(fd);
    return -1;
  }
  *kept_length = bytes.size();
  return fd;
}

}  // extern "C"
