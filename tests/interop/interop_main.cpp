// The interop tests: the library, its C interface and tessivar against a real i2pd router.
#include <gtest/gtest.h>

#include "interop_environment.hpp"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  auto* environment = new velqor_interop::InteropEnvironment;  // gtest takes ownership
  velqor_interop::setInterop(environment);
  ::testing::AddGlobalTestEnvironment(environment);
  return RUN_ALL_TESTS();
}
