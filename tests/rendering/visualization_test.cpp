// Visualisation points (nearest surface per own pixel, rendered colours) and depth-map stacks.
#include <gtest/gtest.h>

#include <cfloat>
#include <filesystem>
#include <fstream>

#include "render_test_util.h"
#include "settings.h"
#include "support/test_support.h"
#include "visualization.h"

using namespace render_test;
using tessivar_test::AllocationGuard;
using tessivar_test::TempDir;

namespace {

const int W = 40, H = 30;
const float3 kFacing = make_float3(0, 0, -1);

// Pixel index of the image element that a point projecting to projection pixel (u, v) lands in.
int pixelOf(int u, int v) { return (H - 1 - v) * W + (W - 1 - u); }

std::vector<float> readFloats(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<float> v;
  float f;
  while (in.read(reinterpret_cast<char*>(&f), sizeof f)) v.push_back(f);
  return v;
}

struct OutputFolder {
  TempDir dir;
  std::string saved = output_directory;
  OutputFolder() {
    std::filesystem::create_directory(dir.file("debug"));
    output_directory = dir.path();
  }
  ~OutputFolder() { output_directory = saved; }
};

}  // namespace

TEST(VisualizationPoints, KeepsTheNearestSurfaceWithRenderedColours) {
  AllocationGuard guard;
  OutputFolder out;
  Camera cam = makeCamera(W, H, 50.f, 20.f, 15.f);
  Scene s;
  const int centre = pixelOf(20, 15);
  s.add(make_float3(0, 0, 2), kFacing, 0.125f, make_uchar4(200, 0, 0, 255), 0, centre);
  // One size behind the first: its distance equals the image minimum exactly.
  s.add(make_float3(0, 0, 2.125f), kFacing, 0.25f, make_uchar4(0, 0, 200, 255), 0, centre);
  s.add(make_float3(0, 0, 3), kFacing, 0.125f, make_uchar4(0, 200, 0, 255), 0, centre);  // hidden
  s.add(make_float3(0.4f, 0, 2.5f), kFacing, 0.125f, make_uchar4(200, 200, 0, 255), 0,
        pixelOf(28, 15));
  s.offsets.back() = 0.5f;
  s.normals.back() = make_float3(0.1f, 0, -1);
  s.add(make_float3(-0.4f, 0, 2), kFacing, 0.125f, make_uchar4(9, 9, 9, 255), 0, W * H);

  std::vector<Particle> op;
  std::vector<float> oo;
  std::vector<float3> on;
  testing::internal::CaptureStdout();
  create_particles_for_visualization(op, oo, on, s.particles, s.offsets, s.normals, {&cam});
  const std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_NE(printed.find("#points for visualization 1\n#points for visualization 3\n"),
            std::string::npos)
      << printed;

  ASSERT_EQ(op.size(), 3u);
  ASSERT_EQ(oo.size(), 3u);
  ASSERT_EQ(on.size(), 3u);
  EXPECT_EQ(op[0].position.z, 2.f);
  EXPECT_EQ(op[1].position.z, 2.125f);
  EXPECT_EQ(op[2].position.x, 0.4f);
  EXPECT_EQ(oo[2], 0.5f);
  EXPECT_EQ(on[2].x, 0.1f);

  // Colours come from the rendering of the whole model, not from the records.
  Rendered r(W, H, s);
  render_points(r.buffer, r.points, cam, 0.02f, 0.f, FLT_MAX, 1.f);
  const auto image = download(r.buffer.image);
  for (int k = 0; k < 2; ++k) {
    EXPECT_EQ(op[k].color.x, image[centre].x);
    EXPECT_EQ(op[k].color.z, image[centre].z);
  }
  EXPECT_NEAR(op[0].color.x, 100, 1);
  EXPECT_NEAR(op[0].color.z, 100, 1);
  EXPECT_NEAR(op[2].color.y, 200, 1);

  // The per-camera distance images went to the debug folder.
  EXPECT_EQ(std::filesystem::file_size(out.dir.file("debug/min_camdistances.dat")),
            std::uintmax_t(W * H * 4));
  EXPECT_TRUE(std::filesystem::exists(out.dir.file("debug/min_camdistances.dat.yvinfo")));
}

TEST(VisualizationPoints, RefusedInputsLeaveTheOutputsAlone) {
  AllocationGuard guard;
  OutputFolder out;
  Camera cam = makeCamera(W, H, 50.f, 20.f, 15.f);
  Camera other = makeCamera(W / 2, H, 50.f, 20.f, 15.f, 1);
  Scene s;
  s.add(make_float3(0, 0, 2), kFacing, 0.125f, make_uchar4(1, 2, 3, 4), 7, 0);
  std::vector<Particle> op(2);
  std::vector<float> oo(2, 9.f);
  std::vector<float3> on(2);
  EXPECT_THROW_MESSAGE(
      create_particles_for_visualization(op, oo, on, s.particles, s.offsets, s.normals, {&cam}),
      "this should not happen");
  Scene empty;
  EXPECT_THROW_MESSAGE(create_particles_for_visualization(op, oo, on, empty.particles,
                                                          empty.offsets, empty.normals, {&cam}),
                       "yv::mallocHostArray: all extents must be >= 1");
  EXPECT_THROW_MESSAGE(
      create_particles_for_visualization(op, oo, on, s.particles, s.offsets, s.normals, {}),
      "create_particles_for_visualization: no cameras given");
  EXPECT_THROW_MESSAGE(create_particles_for_visualization(op, oo, on, s.particles, s.offsets,
                                                          s.normals, {&cam, &other}),
                       "create_particles_for_visualization: all cameras must have the size of "
                       "the first\n camera 1 is 20 x 30, the first 40 x 30");
  EXPECT_EQ(op.size(), 2u);
  EXPECT_EQ(oo[1], 9.f);
}

TEST(DepthmapStack, ImagesBecomeSlicesInOrder) {
  TempDir dir;
  std::vector<CMatrix<float>> maps;
  for (int k = 0; k < 3; ++k) {
    const int w = k == 2 ? 5 : 4;  // a wider image is read with its own row length
    CMatrix<float> m(w, 2);
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < w; ++x) m.data[y * w + x] = 100.f * k + 10.f * y + x;
    maps.push_back(m);
  }
  testing::internal::CaptureStdout();
  saveDepthmapStack(maps, dir.file("stack.dat"));
  testing::internal::GetCapturedStdout();
  const std::vector<float> v = readFloats(dir.file("stack.dat"));
  ASSERT_EQ(v.size(), 24u);
  for (int k = 0; k < 3; ++k)
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < 4; ++x) EXPECT_EQ(v[k * 8 + y * 4 + x], 100.f * k + 10.f * y + x);
  std::ifstream info(dir.file("stack.dat.yvinfo"));
  unsigned ex[4];
  info >> ex[0] >> ex[1] >> ex[2] >> ex[3];
  EXPECT_EQ(ex[0], 4u);
  EXPECT_EQ(ex[1], 2u);
  EXPECT_EQ(ex[2], 3u);
  EXPECT_EQ(ex[3], 1u);

  maps.push_back(CMatrix<float>(3, 2));
  EXPECT_THROW_MESSAGE(saveDepthmapStack(maps, dir.file("bad.dat")),
                       "saveDepthmapStack: image 3 is 3 x 2, smaller than the first (4 x 2)");
  EXPECT_THROW_MESSAGE(saveDepthmapStack({}, dir.file("bad.dat")),
                       "saveDepthmapStack: no images given");
  EXPECT_THROW_MESSAGE(saveDepthmapStack({CMatrix<float>()}, dir.file("bad.dat")),
                       "yv::mallocHostArray: all extents must be >= 1");
  EXPECT_FALSE(std::filesystem::exists(dir.file("bad.dat")));
}
