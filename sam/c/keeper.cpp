// The C interface of the keeper: a stream session handle kept alive by rebuilding it.
#include <velqor/velqor.h>
#include <velqor/session_keeper.hpp>

#include <memory>
#include <utility>

#include "sam/c/guard.hpp"
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

velqor_keeper* velqor_keeper_new(velqor_stream_session* session) {
  if (session == nullptr || !session->session) return nullptr;
  // When an allocation throws, make_unique has not taken the session: it stays the caller's.
  return velqor_c::guarded<velqor_keeper*>(nullptr, [&] {
    std::unique_ptr<velqor_keeper> keeper(new velqor_keeper{});
    keeper->keeper = std::make_unique<SAM::SessionKeeper>(std::move(session->session));
    session->keeper = keeper->keeper.get();
    keeper->handle.reset(session);
    return keeper.release();
  });
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
  const bool set =
      callback != nullptr && velqor_c::guarded([&] {
        keeper->keeper->setListener([callback, user](SAM::SessionKeeper::State state,
                                                     const SAM::Error& reason) {
          callback(static_cast<int>(state), reason.ok() ? nullptr : reason.reason.c_str(), user);
        });
      });
  // Better no reports than the old callback's.
  if (!set) keeper->keeper->setListener(nullptr);
}

int velqor_keeper_keep(velqor_keeper* keeper, uint32_t budget_ms) {
  if (keeper == nullptr) return 0;
  return velqor_c::guarded(
      0, [&] { return keeper->keeper->keep(std::chrono::milliseconds(budget_ms)) ? 1 : 0; });
}

uint32_t velqor_keeper_backoff_ms(const velqor_keeper* keeper) {
  return keeper == nullptr ? 0 : static_cast<uint32_t>(keeper->keeper->backoff().count());
}

void velqor_keeper_set_release_delay(velqor_keeper* keeper, uint32_t milliseconds) {
  if (keeper != nullptr) keeper->keeper->setReleaseDelay(std::chrono::milliseconds(milliseconds));
}

}  // extern "C"
