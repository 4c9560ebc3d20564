// Linked into every test executable: before its first test, each one prints the back end it runs
// on, so that a log shows whether a suite really ran on the GPU (with TESSIVAR_REQUIRE_CUDA set,
// a process that would fall back to the host stops here instead).
#include <gtest/gtest.h>

#include <cstdio>

#include "yv/runtime/runtime.h"

namespace {

class BackendEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    std::printf("[----------] %s\n", yv::rt::backendDescription().c_str());
    std::fflush(stdout);
  }
};

testing::Environment* const registered = testing::AddGlobalTestEnvironment(new BackendEnvironment);

}  // namespace
