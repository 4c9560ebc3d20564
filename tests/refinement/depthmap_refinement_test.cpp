// Depth-map refinement on small synthetic rigs: cameras with too little evidence, the 60-degree
// neighbour limit, and the refusal of a camera list without a depth map for every camera.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "depthmap_refinement.h"
#include "rendering/render_test_util.h"
#include "support/test_support.h"

namespace {

constexpr int kW = 16, kH = 12;

// A textured camera looking along +z from (x, 0, 0), world-to-camera rotation `R` (column by
// column; the identity when null).
Camera texturedCamera(float x, unsigned seed, const float* R = nullptr) {
  Camera c = render_test::makeCamera(kW, kH, 16.f, 7.5f, 5.5f);
  if (R)
    for (int i = 0; i < 9; ++i) c.R[i] = R[i];
  c.t = make_float3(-x, 0.f, 0.f);
  c.image = CMatrix<uchar4>(kW, kH);
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int k = 0; k < kW * kH; ++k)
    c.image.data[k] = make_uchar4(byte(rng), byte(rng), byte(rng), 255);
  return c;
}

// A depth map at depth 2 with a hole (0) at pixel 5.
CMatrix<float> flatDepth() {
  CMatrix<float> d(kW, kH);
  for (int k = 0; k < kW * kH; ++k) d.data[k] = 2.f;
  d.data[5] = 0.f;
  return d;
}

std::string refine(std::vector<CMatrix<float>>& improved, std::vector<CMatrix<float>>& confirmed,
                   const std::vector<CMatrix<float>>& depth, std::vector<Camera>& cameras,
                   float r) {
  std::vector<Camera*> list;
  for (Camera& c : cameras) list.push_back(&c);
  testing::internal::CaptureStdout();
  refine_depthmaps(improved, confirmed, depth, list, r);
  return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(DepthmapRefinement, FewerThanThreeNeighboursConfirmNothingAndShiftByMinusR) {
  tessivar_test::AllocationGuard alloc;
  // Three cameras side by side: each has two neighbours, never the three a score needs.
  std::vector<Camera> cameras = {texturedCamera(0.f, 1), texturedCamera(0.05f, 2),
                                 texturedCamera(-0.05f, 3)};
  const std::vector<CMatrix<float>> depth(3, flatDepth());
  const float r = 0.03f;
  std::vector<CMatrix<float>> improved, confirmed;
  const std::string out = refine(improved, confirmed, depth, cameras, r);
  // No best score exceeds 0.67: mean and sigma have no value, the threshold its floor.
  std::string expect;
  for (int i = 0; i < 3; ++i)
    expect += "\n Improving depth values for camera " + std::to_string(i) +
              "  .. threshold 0.67  mean nan  sigma nan\n";
  EXPECT_EQ(out, expect);
  ASSERT_EQ(improved.size(), 3u);
  ASSERT_EQ(confirmed.size(), 3u);
  for (int i = 0; i < 3; ++i)
    for (int k = 0; k < kW * kH; ++k) {
      // Without evidence every pixel, the hole included, takes the last offset, -r.
      ASSERT_EQ(improved[i].data[k], depth[i].data[k] - r) << i << " " << k;
      ASSERT_EQ(confirmed[i].data[k], 0.f) << i << " " << k;
    }
}

TEST(DepthmapRefinement, AxesExactlySixtyDegreesApartAreNotNeighbours) {
  tessivar_test::AllocationGuard alloc;
  // Camera 1 turned about x so that the third rows of the two rotations have dot product cos.
  const auto rig = [](float cos) {
    const float sin = std::sqrt(1.f - cos * cos);
    const float R[9] = {1.f, 0.f, 0.f, 0.f, cos, sin, 0.f, -sin, cos};  // column by column
    return std::vector<Camera>{texturedCamera(0.f, 1), texturedCamera(0.05f, 2, R)};
  };
  const std::vector<CMatrix<float>> depth(2, flatDepth());
  std::vector<CMatrix<float>> improved, confirmed;
  std::vector<Camera> exact = rig(0.5f);
  ASSERT_EQ(exact[0].R[2] * exact[1].R[2] + exact[0].R[5] * exact[1].R[5] +
                exact[0].R[8] * exact[1].R[8],
            0.5f);
  EXPECT_EQ(refine(improved, confirmed, depth, exact, 0.03f),
            "\n Improving depth values for camera 0   threshold 0.67  mean nan  sigma nan\n"
            "\n Improving depth values for camera 1   threshold 0.67  mean nan  sigma nan\n");
  // One unit in the last place closer, and each is the other's neighbour.
  std::vector<Camera> closer = rig(std::nextafter(0.5f, 1.f));
  EXPECT_EQ(refine(improved, confirmed, depth, closer, 0.03f),
            "\n Improving depth values for camera 0  . threshold 0.67  mean nan  sigma nan\n"
            "\n Improving depth values for camera 1  . threshold 0.67  mean nan  sigma nan\n");
}

TEST(DepthmapRefinement, EveryCameraNeedsADepthMap) {
  tessivar_test::AllocationGuard alloc;
  std::vector<Camera> cameras = {texturedCamera(0.f, 1), texturedCamera(0.05f, 2)};
  std::vector<Camera*> list = {&cameras[0], &cameras[1]};
  const std::vector<CMatrix<float>> depth(1, flatDepth());
  std::vector<CMatrix<float>> improved(2), confirmed(1);
  EXPECT_THROW_MESSAGE(refine_depthmaps(improved, confirmed, depth, list, 0.03f),
                       "refine_depthmaps: fewer depth maps than cameras\n 1 depth maps, 2 cameras");
  // Refused before anything was touched.
  EXPECT_EQ(improved.size(), 2u);
  EXPECT_EQ(confirmed.size(), 1u);
}
