// Helpers shared by the test executables.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tessivar_test {

// Runs f and returns the what() text of the std::runtime_error it throws; fails the test when
// it throws nothing.
std::string thrownMessage(const std::function<void()>& f);

// A fresh, empty folder under the system's temporary folder, removed when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Checks that a test body releases every device allocation it makes (the runtime's registry).
class AllocationGuard {
 public:
  AllocationGuard();
  ~AllocationGuard();
  std::size_t live() const;

 private:
  std::size_t start_;
};

// True on the CUDA back end.
bool onGpu();

// run_tessivar on `args` (the program name first) in this process, its standard output in `out`;
// -1, with a test failure, when it throws.
int runInProcess(std::vector<std::string> args, std::string& out);

}  // namespace tessivar_test

#define EXPECT_THROW_MESSAGE(stmt, msg) \
  EXPECT_EQ(::tessivar_test::thrownMessage([&]() { stmt; }), std::string(msg))
