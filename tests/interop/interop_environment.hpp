// The one private router of the interop tests and the sessions they share. Creating a
// session takes about 20 s on this router, so all of them are created at once, in SetUp,
// and live until the last test has run.
#ifndef VELQOR_TESTS_INTEROP_INTEROP_ENVIRONMENT_HPP
#define VELQOR_TESTS_INTEROP_INTEROP_ENVIRONMENT_HPP

#include <gtest/gtest.h>
#include <velqor/velqor.h>
#include <velqor/sam.hpp>

#include <memory>
#include <string>

#include "i2pd_router.hpp"

namespace velqor_interop {

class InteropEnvironment : public ::testing::Environment {
 public:
  // The name under which the router's address book knows the test key's destination.
  static constexpr char kSiteName[] = "velqor-site.i2p";

  void SetUp() override;
  void TearDown() override;

  I2pdRouter& router() { return *router_; }
  // A session with a transient destination that opens streams to the others.
  SAM::StreamSession& client() { return *client_; }
  // A session that others connect to, holding the test key's fixed destination.
  SAM::StreamSession& fixedServer() { return *fixedServer_; }
  // A session that others connect to, with a transient destination.
  SAM::StreamSession& transientServer() { return *transientServer_; }
  // A session made through the C interface; it connects and is connected to.
  velqor_stream_session* cSession() { return cSession_; }
  // A server session with a transient destination of its own, for the rebuild test: on
  // i2pd 2.45 a destination taken again by a rebuilt session stops publishing its lease set.
  SAM::StreamSession& rebuildable() { return *rebuildable_; }

  // Puts `rebuilt` in the place of rebuildable() and destroys the session it replaces.
  void replaceRebuildable(std::unique_ptr<SAM::StreamSession> rebuilt);

 private:
  std::unique_ptr<I2pdRouter> router_;
  std::unique_ptr<SAM::StreamSession> client_;
  std::unique_ptr<SAM::StreamSession> fixedServer_;
  std::unique_ptr<SAM::StreamSession> transientServer_;
  std::unique_ptr<SAM::StreamSession> rebuildable_;
  velqor_stream_session* cSession_ = nullptr;
};

// The environment registered by the test program's main().
InteropEnvironment& interop();
void setInterop(InteropEnvironment* environment);

}  // namespace velqor_interop

#endif  // VELQOR_TESTS_INTEROP_INTEROP_ENVIRONMENT_HPP
