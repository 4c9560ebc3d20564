// A fusion run called inside a process whose device state is the caller's (the tests run it so):
// the run must not reset the device, or the caller's allocations and cuBLAS handles go with it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "yv/runtime/runtime.h"

namespace {

TEST(RunInProcess, LeavesTheCallersDeviceMemoryAlone) {
  tessivar_test::TempDir dir;
  const char* build = std::getenv("TESSIVAR_BUILD_DIR");
  const std::string scene = dir.file("scene");
  const std::string make = std::string(build ? build : ".") + "/make_scene --out '" + scene +
                           "' --cameras 4 --width 80 --height 60 > '" + dir.file("log") + "' 2>&1";
  ASSERT_EQ(std::system(make.c_str()), 0) << make;
  std::string depthAvg;
  std::ifstream(scene + "/depth_avg.txt") >> depthAvg;
  std::vector<std::string> args = {"tessivar", "-o", dir.file("out"), "--depth-avg", depthAvg,
                                   "--superpixels", "50", "--"};
  for (int i = 0; i < 4; ++i) args.push_back(scene + "/camera_0" + std::to_string(i) + ".txt");

  void* mine = nullptr;
  ASSERT_EQ(yv::rt::malloc(&mine, 1024), cudaSuccess);
  std::string out;
  EXPECT_EQ(tessivar_test::runInProcess(args, out), 0) << out;
  EXPECT_TRUE(yv::rt::isDevicePointer(mine));
  EXPECT_EQ(yv::rt::free(mine), cudaSuccess);
}

}  // namespace
