#include "interop_environment.hpp"

#include <chrono>
#include <future>
#include <iostream>

#include "fake_bridge.hpp"  // testKeyPriv(), testKeyPub()

namespace velqor_interop {

namespace {

InteropEnvironment* registered = nullptr;

std::future<std::unique_ptr<SAM::StreamSession>> createLater(const std::string& nickname,
                                                             const I2pdRouter& router,
                                                             const std::string& destination,
                                                             const std::string& options) {
  return std::async(std::launch::async, [=, &router] {
    return std::make_unique<SAM::StreamSession>(nickname, router.samHost(), router.samPort(),
                                                destination, options);
  });
}

}  // namespace

void InteropEnvironment::SetUp() {
  const auto start = std::chrono::steady_clock::now();
  try {
    // Started from the main thread: the router dies with the thread that started it.
    router_ = std::make_unique<I2pdRouter>(
        std::vector<I2pdRouter::HostEntry>{{kSiteName, velqor_test::testKeyPub()}});
  } catch (const std::exception& e) {
    FAIL() << e.what();
  }

  auto client = createLater("interop-client", *router_, "TRANSIENT", kZeroHopOptions);
  auto fixedServer =
      createLater("interop-fixed", *router_, velqor_test::testKeyPriv(), kServerSessionOptions);
  auto transientServer =
      createLater("interop-transient", *router_, "TRANSIENT", kServerSessionOptions);
  auto rebuildable = createLater("interop-rebuild", *router_, "TRANSIENT", kServerSessionOptions);
  const std::string host = router_->samHost();
  const uint16_t port = router_->samPort();
  auto cSession = std::async(std::launch::async, [host, port] {
    const velqor_settings settings{host.c_str(), port, "interop-c", kServerSessionOptions,
                                   "TRANSIENT"};
    return velqor_stream_session_new(&settings);
  });
  client_ = client.get();
  fixedServer_ = fixedServer.get();
  transientServer_ = transientServer.get();
  rebuildable_ = rebuildable.get();
  cSession_ = cSession.get();

  const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start);
  std::cout << "[ interop  ] router and 5 sessions ready in " << seconds.count() << " s\n";
  ASSERT_FALSE(client_->isSick()) << router_->logTail();
  ASSERT_FALSE(fixedServer_->isSick()) << router_->logTail();
  ASSERT_FALSE(transientServer_->isSick()) << router_->logTail();
  ASSERT_FALSE(rebuildable_->isSick()) << router_->logTail();
  ASSERT_EQ(velqor_is_sick(cSession_), 0) << router_->logTail();
}

void InteropEnvironment::TearDown() {
  velqor_stream_session_free(cSession_);
  cSession_ = nullptr;
  rebuildable_.reset();
  transientServer_.reset();
  fixedServer_.reset();
  client_.reset();
  router_.reset();
}

void InteropEnvironment::replaceRebuildable(std::unique_ptr<SAM::StreamSession> rebuilt) {
  rebuildable_ = std::move(rebuilt);
}

InteropEnvironment& interop() { return *registered; }

void setInterop(InteropEnvironment* environment) { registered = environment; }

}  // namespace velqor_interop
