#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "driver.h"
#include "support/test_support.h"
#include "test_files.h"

namespace {

CMatrix<float> map(std::vector<float> values) {
  CMatrix<float> m(int(values.size()), 1);
  for (std::size_t i = 0; i < values.size(); ++i) m.data[i] = values[i];
  return m;
}

TEST(DepthRange, MedianOfThePerMapExtremes) {
  float lo = -1, hi = -1;
  // Two maps: element n/2 = 1 after ordering, the larger of the two.
  compute_depth_range({map({1.0f, 2.0f, 3.0f}), map({1.5f, 4.0f})}, lo, hi);
  EXPECT_EQ(lo, 1.5f);
  EXPECT_EQ(hi, 4.0f);

  // A map with a hole has minimum 0; it wins only when most maps have one.
  compute_depth_range({map({0.0f, 2.0f}), map({1.0f, 2.5f}), map({1.2f, 3.0f})}, lo, hi);
  EXPECT_EQ(lo, 1.0f);
  EXPECT_EQ(hi, 2.5f);
  compute_depth_range({map({0.0f, 2.0f}), map({0.0f, 2.5f}), map({1.2f, 3.0f})}, lo, hi);
  EXPECT_EQ(lo, 0.0f);
  compute_depth_range({map({0.0f, 2.0f}), map({0.5f, 2.5f}), map({1.2f, 3.0f}), map({0.0f, 1.0f})},
                      lo, hi);
  EXPECT_EQ(lo, 0.5f);  // two of four: element 2 of (0, 0, 0.5, 1.2)
  EXPECT_EQ(hi, 2.5f);  // element 2 of (1, 2, 2.5, 3)
}

TEST(SuperpixelRadius, FiveThousandOnVga) {
  const float r = superpixel_radius(640, 480, 5000);
  EXPECT_NEAR(r, std::sqrt(61.44 / M_PI), 1e-6);
  EXPECT_NEAR(r, 4.4223f, 1e-4);
  EXPECT_NEAR(r * 9.0f, 39.80f, 0.005f);  // the superpixel filter radius per average_depth / fx
}

TEST(OutputFolder, CreatedWithParentsOrReportedByName) {
  tessivar_test::TempDir dir;
  EXPECT_TRUE(create_output_directory(dir.file("a/b c/d;e")));
  EXPECT_TRUE(std::filesystem::is_directory(dir.file("a/b c/d;e")));
  EXPECT_TRUE(create_output_directory(dir.file("a")));  // already there

  driver_test::writeText(dir.file("file"), "x");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(create_output_directory(dir.file("file/sub")));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("cannot create the output folder \"" + dir.file("file/sub") + "\": ", 0), 0u)
      << err;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(create_output_directory(dir.file("file")));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "cannot create the output folder \"" + dir.file("file") + "\": Not a directory\n");
}

}  // namespace
