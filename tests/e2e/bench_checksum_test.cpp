// The models of a scene made like the bench scenes (noisy depth with dropouts; both filter
// levels; the dense level samples its neighbour cells) must stay bit for bit what they were
// before the filter passes were rearranged for speed, for one thread and for eight.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "e2e/e2e_support.h"
#include "support/test_support.h"

namespace {

using namespace tessivar_e2e;

std::uint64_t fnv1a64(const std::string& bytes) {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (unsigned char c : bytes) h = (h ^ c) * 0x100000001b3ULL;
  return h;
}

}  // namespace

TEST(BenchScene, ModelsKeepTheirChecksumsForOneAndEightThreads) {
  tessivar_test::TempDir dir;
  const Result scene = run("make_scene",
                           {"--out", dir.file("scene"), "--cameras", "4", "--width", "320",
                            "--height", "240", "--noise", "0.0015", "--dropout", "0.01", "--seed",
                            "7"},
                           dir.path());
  ASSERT_EQ(scene.code, 0) << scene.err;
  std::string depth = readFile(dir.file("scene/depth_avg.txt"));
  while (!depth.empty() && (depth.back() == '\n' || depth.back() == ' ')) depth.pop_back();

  // FNV-1a (64 bit) of the model files that tessivar wrote for this scene and these arguments,
  // alike with OMP_NUM_THREADS=1 and 8: first at commit 503111b (before the rearrangement), anew
  // once superpixels left out the pixels without depth and the outliers, and once a spike (one
  // pixel of camera 1 here) no longer counted in the seed density and the centres' depths.
  const struct {
    const char* file;
    std::uint64_t checksum;
  } expected[] = {{"/model_superpixel.ply", 0xe9aa125f5537dbc8ULL},
                  {"/model.ply", 0xdab78c2743e79d1fULL}};

  for (const char* threads : {"1", "8"}) {
    const std::string out = dir.file(std::string("out") + threads);
    std::vector<std::string> args = {"-o", out, "--depth-avg", depth, "--"};
    for (int i = 0; i < 4; ++i) args.push_back(dir.file("scene/camera_0" + std::to_string(i) + ".txt"));
    const Result r = run("tessivar", args, dir.path(), std::string("OMP_NUM_THREADS=") + threads);
    ASSERT_EQ(r.code, 0) << r.err;
    for (const auto& e : expected)
      EXPECT_EQ(fnv1a64(readFile(out + e.file)), e.checksum)
          << e.file << " with " << threads << " threads";
  }
}
