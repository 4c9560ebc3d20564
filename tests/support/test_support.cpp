#include "support/test_support.h"

#include <cstdlib>
#include <exception>
#include <filesystem>

#include "driver.h"
#include "yv/runtime/runtime.h"

namespace tessivar_test {

std::string thrownMessage(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  ADD_FAILURE() << "expected a std::runtime_error";
  return "<nothing thrown>";
}

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "tessivar-test-XXXXXX").string();
  char* p = mkdtemp(tmpl.data());
  if (!p) throw std::runtime_error("cannot create a temporary folder");
  path_ = p;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

AllocationGuard::AllocationGuard() : start_(yv::rt::liveAllocationCount()) {}
AllocationGuard::~AllocationGuard() {
  EXPECT_EQ(yv::rt::liveAllocationCount(), start_) << "device memory leaked";
}
std::size_t AllocationGuard::live() const { return yv::rt::liveAllocationCount() - start_; }

bool onGpu() { return yv::rt::onGpu(); }

int runInProcess(std::vector<std::string> args, std::string& out) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  testing::internal::CaptureStdout();
  int code = -1;
  try {
    code = run_tessivar(int(args.size()), argv.data());
  } catch (const std::exception& e) {
    ADD_FAILURE() << e.what();
  }
  out = testing::internal::GetCapturedStdout();
  return code;
}

}  // namespace tessivar_test
