#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "depth_avg_check.h"

namespace {

CMatrix<float> filled(int w, int h, float depth) {
  CMatrix<float> m(w, h);
  for (int i = 0; i < w * h; ++i) m.data[i] = depth;
  return m;
}

// Every valid pixel of every map counts alike; no depth and spikes do not count.
TEST(DepthAvgCheck, MeanOverTheValidPixelsOfAllMaps) {
  std::vector<CMatrix<float>> maps;
  maps.push_back(filled(5, 5, 1.0f));
  maps[0].data[0] = 0.0f;       // no depth
  maps[0].data[2 * 5 + 2] = 9.0f;  // a spike: no neighbour near its depth
  maps.push_back(filled(4, 4, 2.0f));
  maps.push_back(CMatrix<float>());  // an empty map adds nothing
  std::size_t count = 0;
  EXPECT_DOUBLE_EQ(mean_valid_depth(maps, &count), (23 * 1.0 + 16 * 2.0) / 39.0);
  EXPECT_EQ(count, 39u);

  // A far cluster smaller than a superpixel (a 2 x 2 block at 60 m in a 20 x 20 map cut into 25)
  // is a stray reading, as in the depth range: it leaves the mean alone.
  std::vector<CMatrix<float>> far;
  far.push_back(filled(20, 20, 1.0f));
  for (int i : {5 * 20 + 5, 5 * 20 + 6, 6 * 20 + 5, 6 * 20 + 6}) far[0].data[i] = 60.0f;
  EXPECT_DOUBLE_EQ(mean_valid_depth(far, &count, 25), 1.0);
  EXPECT_EQ(count, 396u);

  std::vector<CMatrix<float>> none;
  none.push_back(filled(3, 3, 0.0f));
  EXPECT_EQ(mean_valid_depth(none, &count), 0.0);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(depth_avg_warning(none, 100.0f), "");
}

// Within [half, twice] the mean nothing is said; outside, one line names the mean.
TEST(DepthAvgCheck, WarnsOutsideHalfToTwiceTheMean) {
  for (float ok : {1.0f, 1.5f, 2.0f, 4.0f}) EXPECT_EQ(depth_avg_warning(ok, 2.0), "") << ok;
  const std::string units = " (--depth-avg is the scene's average depth, in the units of the "
                            "depth maps: metres for depth maps in millimetres)\n";
  EXPECT_EQ(depth_avg_warning(0.99f, 2.0),
            "warning: --depth-avg 0.99 is less than half the mean depth of the cameras' depth "
            "maps, 2; a value this small can leave much of the surface out of the model" + units);
  EXPECT_EQ(depth_avg_warning(2.8f, 1.38373),
            "warning: --depth-avg 2.8 is more than twice the mean depth of the cameras' depth "
            "maps, 1.38; a value this large can make the model much less accurate" + units);
  EXPECT_NE(depth_avg_warning(1e9f, 1234.5).find(" maps, 1230; "), std::string::npos);
  EXPECT_EQ(depth_avg_warning(1.0f, 0.0), "");

  std::vector<CMatrix<float>> maps;
  maps.push_back(filled(4, 4, 1.5f));
  EXPECT_EQ(depth_avg_warning(maps, 0.7f), depth_avg_warning(0.7f, 1.5));
  EXPECT_NE(depth_avg_warning(maps, 0.7f), "");
  EXPECT_EQ(depth_avg_warning(maps, 0.75f), "");
}

}  // namespace
