// The flat C interface of liveness, the keeper, generated key files and released sockets. As
// everywhere in the C interface, no exception (in practice std::bad_alloc) crosses into C.
#include <unistd.h>
#include <velqor/velqor.h>
#include <velqor/sam.hpp>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "sam/c/handles.hpp"

struct velqor_keeper {
  // The handle stays the caller's way to the session; the keeper holds the session itself.
  std::unique_ptr<velqor_stream_session> handle;
  std::unique_ptr<SAM::SessionKeeper> keeper;
};

static_assert(VELQOR_KEEPER_ATTEMPT_FAILED ==
                  static_cast<int>(SAM::SessionKeeper::State::ATTEMPT_FAILED),
              "");
static_assert(VELQOR_KEEPER_REBUILT == static_cast<int>(SAM::SessionKeeper::State::REBUILT), "");

extern "C" {

int velqor_is_alive(velqor_stream_session* session) {
  SAM::StreamSession* s = velqor_c::sessionOf(session);
  return s != nullptr && s->checkAlive() ? 1 : 0;
}

velqor_keeper* velqor_keeper_new(velqor_stream_session* session) {
  if (session == nullptr || !session->session) return nullptr;
  try {
    std::unique_ptr<velqor_keeper> keeper(new velqor_keeper{});
    keeper->keeper = std::make_unique<SAM::SessionKeeper>(std::move(session->session));
    session->keeper = keeper->keeper.get();
    keeper->handle.reset(session);
    return keeper.release();
  } catch (...) {
    return nullptr;  // make_unique threw before it took the session, which stays the caller's
  }
}

void velqor_keeper_free(velqor_keeper* keeper) {
  if (keeper == nullptr) return;
  keeper->handle->keeper = nullptr;
  delete keeper;
}

velqor_stream_session* velqor_keeper_session(velqor_keeper* keeper) {
  return keeper == nullptr ? nullptr : keeper->handle.get();
}

void velqor_keeper_set_callback(velqor_keeper* keeper, velqor_keeper_callback callback,
                                void* user) {
  if (keeper == nullptr) return;
  if (callback == nullptr) {
    keeper->keeper->setListener(nullptr);
    return;
  }
  try {
    keeper->keeper->setListener(
        [callback, user](SAM::SessionKeeper::State state, const SAM::Error& reason) {
          callback(static_cast<int>(state), reason.ok() ? nullptr : reason.reason.c_str(), user);
        });
  } catch (...) {
    keeper->keeper->setListener(nullptr);  // better no reports than the old callback's
  }
}

int velqor_keeper_keep(velqor_keeper* keeper, uint32_t budget_ms) {
  if (keeper == nullptr) return 0;
  try {
    return keeper->keeper->keep(std::chrono::milliseconds(budget_ms)) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

uint32_t velqor_keeper_backoff_ms(const velqor_keeper* keeper) {
  return keeper == nullptr ? 0 : static_cast<uint32_t>(keeper->keeper->backoff().count());
}

void velqor_keeper_set_release_delay(velqor_keeper* keeper, uint32_t milliseconds) {
  if (keeper != nullptr) keeper->keeper->setReleaseDelay(std::chrono::milliseconds(milliseconds));
}

char* velqor_key_file_load_or_generate(const char* path, const char* samhost, uint16_t samport,
                                       char** reason) {
  if (reason != nullptr) *reason = nullptr;
  if (path == nullptr || samhost == nullptr) {
    if (reason != nullptr) *reason = strdup("a NULL argument was given");
    return nullptr;
  }
  try {
    SAM::FullDestination destination;
    const SAM::Error error = SAM::loadOrGenerateKeyFile(path, samhost, samport, destination);
    if (!error.ok()) {
      if (reason != nullptr) *reason = strdup(error.reason.c_str());
      return nullptr;
    }
    return strdup(destination.priv.c_str());
  } catch (...) {
    if (reason != nullptr) *reason = strdup("out of memory");
    return nullptr;
  }
}

int velqor_socket_release(velqor_socket* socket, char** kept, size_t* kept_length) {
  if (kept != nullptr) *kept = nullptr;
  if (kept_length != nullptr) *kept_length = 0;
  if (socket == nullptr || !socket->socket) return -1;
  SAM::I2pSocket& s = *socket->socket;
  if (!s.isOk()) return -1;
  if (kept == nullptr || kept_length == nullptr) return s.release();
  std::string bytes;
  const int fd = s.release(bytes);
  if (bytes.empty() || fd < 0) return fd;
  *kept = velqor_c::copyBytesForCaller(bytes);
  if (*kept == nullptr) {
    ::close(fd);
    return -1;
  }
  *kept_length = bytes.size();
  return fd;
}

}  // extern "C"
