#include "superpixels.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <filesystem>
#include <limits>
#include <vector>

#include "settings.h"
#include "support/test_support.h"
#include "superpixels/test_camera.h"
#include "yv/cmatrixlib_interface.h"

TEST(SuperpixelDepth, RoundsInThousandthsOfTheScale) {
  EXPECT_EQ(superpixel_depth_value(2.37f, 2.37f), 1000);
  EXPECT_EQ(superpixel_depth_value(3.0f, 2.0f), 1500);
  EXPECT_EQ(superpixel_depth_value(0.5f, 1000.0f), 1);  // half goes up
  EXPECT_EQ(superpixel_depth_value(0.4f, 1000.0f), 0);
  EXPECT_EQ(superpixel_depth_value(65.535f, 1.0f), 65535);
}

TEST(SuperpixelDepth, NoDepthGivesZeroAndFarDepthsSaturate) {
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(superpixel_depth_value(0.0f, 1.0f), 0);
  EXPECT_EQ(superpixel_depth_value(std::nanf(""), 1.0f), 0);
  EXPECT_EQ(superpixel_depth_value(inf, 1.0f), 0);
  EXPECT_EQ(superpixel_depth_value(-inf, 1.0f), 0);
  EXPECT_EQ(superpixel_depth_value(-0.5f, 1.0f), 0);  // would wrap to 65036
  // 65.536 x scale would wrap to 0 and 100 x scale to 34464: both are far, not near.
  EXPECT_EQ(superpixel_depth_value(65.536f, 1.0f), 65535);
  EXPECT_EQ(superpixel_depth_value(100.0f, 1.0f), 65535);
  EXPECT_EQ(superpixel_depth_value(FLT_MAX, 1.0f), 65535);
}

TEST(SuperpixelColor, TruncatesTimes255) {
  EXPECT_EQ(superpixel_color_channel(1.0f), 255);
  EXPECT_EQ(superpixel_color_channel(0.5f), 127);
  EXPECT_EQ(superpixel_color_channel(0.0f), 0);
  EXPECT_EQ(superpixel_color_channel(10.0f / 255.0f), 10);
  const Superpixel fresh;
  EXPECT_TRUE(fresh.pixels.empty());
  EXPECT_EQ(fresh.color.x + fresh.color.y + fresh.color.z + fresh.color.w, 0);
}

namespace {

// A wall at 2.0 on the left and 3.0 on the right, each half one colour, 5 % holes in the depth.
struct StepScene {
  int W = 120, H = 80;
  CMatrix<float> depth{120, 80};
  CMatrix<uchar4> image{120, 80};
  Camera camera = testCamera(120, 80, 100.0f, 0.0f, make_float3(0, 0, 0));
  StepScene() {
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        const bool left = x < W / 2;
        depth.data[y * W + x] = (x * 31 + y * 17) % 20 == 0 ? 0.0f : (left ? 2.0f : 3.0f);
        image.data[y * W + x] = left ? make_uchar4(10, 128, 255, 7) : make_uchar4(200, 100, 0, 7);
      }
  }
};

}  // namespace

TEST(SuperpixelParameters, PrincipalPointAsInTheFileAndTheFixedWeights) {
  Camera cam;
  cam.width = 640;
  cam.height = 480;
  cam.K[0] = 525.0f;
  cam.K[6] = 100.0f;  // stored mirrored: the file said 539
  cam.K[7] = 40.0f;   // the file said 439
  dasp::Parameters p = superpixel_parameters(cam, 1234);
  EXPECT_EQ(p.camera_cx, 539.0f);
  EXPECT_EQ(p.camera_cy, 439.0f);
  EXPECT_EQ(p.camera_focal, 525.0f);
  EXPECT_EQ(p.depth_unit, 0.001f);
  EXPECT_EQ(p.weight_world, 4.0f);
  EXPECT_EQ(p.weight_color, 2.0f);
  EXPECT_EQ(p.weight_image, 1.0f);
  EXPECT_EQ(p.iterations, 10);
  EXPECT_EQ(p.base_radius, 0.018f);
  EXPECT_EQ(p.count, 1234);
  cam.principal_point_unflipped = true;
  p = superpixel_parameters(cam, 1);
  EXPECT_EQ(p.camera_cx, 100.0f);
  EXPECT_EQ(p.camera_cy, 40.0f);
}

TEST(CreateSuperpixels, CoverEveryPixelWithDepthOnceAndKeepToOneSideOfADepthStep) {
  StepScene s;
  std::vector<Superpixel> sp;
  testing::internal::CaptureStdout();
  create_superpixels(sp, s.depth, s.image, s.camera, 2.5f, 120);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "Computing superpixels ...    created " + std::to_string(sp.size()) +
                     " superpixels\n");
  EXPECT_GT(sp.size(), 90u);
  EXPECT_LT(sp.size(), 150u);

  std::vector<int> seen(s.W * s.H, 0);
  for (const Superpixel& p : sp) {
    ASSERT_FALSE(p.pixels.empty());
    const bool left = p.pixels.front().x < s.W / 2;
    for (const int2& q : p.pixels) {
      ASSERT_GE(q.x, 0);
      ASSERT_LT(q.x, s.W);
      ASSERT_GE(q.y, 0);
      ASSERT_LT(q.y, s.H);
      ++seen[q.y * s.W + q.x];
      if (s.depth.data[q.y * s.W + q.x] != 0.0f) {
        ASSERT_EQ(q.x < s.W / 2, left) << "crosses the step";
      }
    }
    // Mean colour in the image's channel order, alpha 255.
    if (left) {
      EXPECT_EQ(p.color.x, 10);
      EXPECT_EQ(p.color.y, 128);
      EXPECT_EQ(p.color.z, 255);
    } else {
      EXPECT_EQ(p.color.x, 200);
      EXPECT_EQ(p.color.y, 100);
      EXPECT_EQ(p.color.z, 0);
    }
    EXPECT_EQ(p.color.w, 255);
  }
  // Every pixel with depth once; a pixel without depth at most once, as a small hole.
  for (int i = 0; i < s.W * s.H; ++i) ASSERT_EQ(seen[i], s.depth.data[i] != 0.0f ? 1 : seen[i] & 1) << i;

  // A stale vector is replaced, not appended to.
  std::vector<Superpixel> again(3);
  again[0].pixels.push_back(make_int2(1, 1));
  testing::internal::CaptureStdout();
  create_superpixels(again, s.depth, s.image, s.camera, 2.5f, 120);
  testing::internal::GetCapturedStdout();
  ASSERT_EQ(again.size(), sp.size());
  for (std::size_t i = 0; i < sp.size(); ++i) {
    ASSERT_EQ(again[i].pixels.size(), sp[i].pixels.size());
    for (std::size_t j = 0; j < sp[i].pixels.size(); ++j) {
      EXPECT_EQ(again[i].pixels[j].x, sp[i].pixels[j].x);
      EXPECT_EQ(again[i].pixels[j].y, sp[i].pixels[j].y);
    }
  }
}

TEST(CreateSuperpixels, RefusesADepthMapOfOtherExtents) {
  StepScene s;
  CMatrix<float> small(119, 80);
  std::vector<Superpixel> sp;
  EXPECT_THROW_MESSAGE(create_superpixels(sp, small, s.image, s.camera, 2.5f, 100),
                       "create_superpixels: depth map and colour image differ in size\n"
                       "depth map: 119 x 80\ncolour image: 120 x 80");
}

TEST(CreateSuperpixels, DebugImagesAreNumberedPerWrittenImage) {
  StepScene s;
  tessivar_test::TempDir dir;
  std::filesystem::create_directories(dir.file("debug"));
  const std::string saved_dir = output_directory;
  output_directory = dir.path();
  std::vector<Superpixel> sp;
  testing::internal::CaptureStdout();
  debug_write_superpixel_image = true;
  create_superpixels(sp, s.depth, s.image, s.camera, 2.5f, 60);
  debug_write_superpixel_image = false;
  create_superpixels(sp, s.depth, s.image, s.camera, 2.5f, 60);
  debug_write_superpixel_image = true;
  create_superpixels(sp, s.depth, s.image, s.camera, 2.5f, 60);
  debug_write_superpixel_image = false;
  testing::internal::GetCapturedStdout();
  output_directory = saved_dir;

  EXPECT_TRUE(std::filesystem::exists(dir.file("debug/superpixels_0.png")));
  EXPECT_TRUE(std::filesystem::exists(dir.file("debug/superpixels_1.png")));
  EXPECT_FALSE(std::filesystem::exists(dir.file("debug/superpixels_2.png")));
  // Each pixel is painted in its superpixel's colour.
  const CMatrix<uchar4> img = loadImage(dir.file("debug/superpixels_1.png"));
  ASSERT_EQ(img.xSize, s.W);
  ASSERT_EQ(img.ySize, s.H);
  for (const Superpixel& p : sp)
    for (const int2& q : p.pixels) {
      const uchar4 v = img.data[q.y * s.W + q.x];
      ASSERT_EQ(v.x, p.color.x);
      ASSERT_EQ(v.y, p.color.y);
      ASSERT_EQ(v.z, p.color.z);
    }
}
