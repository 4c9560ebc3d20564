// Matching costs on synthetic image pairs with known disparity, and the whole road from costs
// through sgm and label extraction to depths.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "depthmap_estimation_kernels.h"
#include "settings.h"
#include "sgm.h"
#include "sgm/sgm_test_util.h"
#include "support/test_support.h"
#include "yv/tools/range.h"

namespace {

using sgm_test::Device;

// Reference camera at the origin, second camera moved by B along x, both with focal length 100
// and the principal point in the middle. Label l has disparity 2 + l pixels: the second image
// holds the reference pixel x at x + disparity.
struct Rig {
  unsigned W, H, L;
  float fx = 100.f, fy = 100.f, B = 0.1f;
  float cx() const { return (float(W) - 1.f) / 2.f; }
  float cy() const { return (float(H) - 1.f) / 2.f; }
  float depth0() const { return fx * B / 2.f; }
  float depth1() const { return fx * B / (2.f + float(L - 1)); }
  ProjectionMatrix P(float baseline) const {
    return ProjectionMatrix{{fx, 0.f, cx(), -fx * baseline, 0.f, fy, cy(), 0.f, 0.f, 0.f, 1.f, 0.f}};
  }
  ProjectionMatrix P() const { return P(B); }
};

std::vector<uchar4> randomImage(unsigned W, unsigned H, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> dist(0, 255);
  std::vector<uchar4> img(W * H);
  for (uchar4& p : img)
    p = make_uchar4((unsigned char)dist(rng), (unsigned char)dist(rng), (unsigned char)dist(rng), 255);
  return img;
}

// The second image of a scene at constant disparity: pixel x2 shows reference pixel x2 - disp;
// columns without a source get other random colours.
std::vector<uchar4> shifted(const std::vector<uchar4>& ref, unsigned W, unsigned H, int disp) {
  std::vector<uchar4> out = randomImage(W, H, 99);
  for (unsigned y = 0; y < H; ++y)
    for (int x2 = disp; x2 < int(W); ++x2) out[y * W + x2] = ref[y * W + (x2 - disp)];
  return out;
}

// A smooth colour pattern, sampled at any real position.
uchar4 smooth(float x, float y) {
  const auto ch = [](float v) { return (unsigned char)std::lround(127.5f + 120.f * std::sin(v)); };
  return make_uchar4(ch(0.9f * x + 0.3f * y), ch(0.55f * x - 0.7f * y + 1.f),
                     ch(1.3f * x + 0.2f * y + 2.f), 255);
}

struct Volume4 {
  std::vector<float> sums, counts;  // (x, y, label), x fastest
};

Volume4 addCosts(unsigned W, unsigned H, unsigned L, const std::vector<uchar4>& ref,
                 const std::vector<uchar4>& img, float depth0, float depth1, float fx, float fy,
                 float cx, float cy, const ProjectionMatrix& P, MatchingCostsMetric metric,
                 int calls, bool plane) {
  Device<uchar4> dRef(W, H), dImg(W, H);
  dRef.upload(ref);
  dImg.upload(img);
  Device<float> costs(W, H, L, 2);
  costs.fill(0.f);
  yv::Array<float, 4> c = costs.a;
  for (int i = 0; i < calls; ++i) {
    if (plane)
      add_matching_costs2(c, dRef.d2(), dImg.d2(), depth0, depth1, fx, fy, cx, cy, P, metric);
    else
      add_matching_costs(c, dRef.d2(), dImg.d2(), depth0, depth1, fx, fy, cx, cy, P, metric);
  }
  const std::vector<float> all = costs.download();
  const std::size_t plane3 = std::size_t(W) * H * L;
  return Volume4{std::vector<float>(all.begin(), all.begin() + plane3),
                 std::vector<float>(all.begin() + plane3, all.end())};
}

Volume4 matchingCosts(const Rig& rig, const std::vector<uchar4>& ref, const std::vector<uchar4>& img,
                      MatchingCostsMetric metric, int calls = 1, bool plane = false,
                      ProjectionMatrix* P = nullptr) {
  return addCosts(rig.W, rig.H, rig.L, ref, img, rig.depth0(), rig.depth1(), rig.fx, rig.fy,
                  rig.cx(), rig.cy(), P ? *P : rig.P(), metric, calls, plane);
}

// 8 x 8 images seen by the same camera (f = 1, principal point 0) at depths 1 and 2: every
// window pixel lands exactly on its own texel, and only pixel (4, 4) lies off the border.
Volume4 sameViewCosts(const std::vector<uchar4>& ref, const std::vector<uchar4>& img, bool plane) {
  const ProjectionMatrix P{{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0}};
  return addCosts(8, 8, 2, ref, img, 1.f, 2.f, 1.f, 1.f, 0.f, 0.f, P, MatchingCostsMetric::NCC,
                  1, plane);
}

std::size_t idx(const Rig& r, unsigned x, unsigned y, unsigned l) {
  return (std::size_t(l) * r.H + y) * r.W + x;
}

TEST(MatchingCosts, AbsoluteDifferencesAtKnownDisparity) {
  tessivar_test::AllocationGuard guard;
  const Rig rig{20, 6, 8};
  const std::vector<uchar4> ref = randomImage(rig.W, rig.H, 1);
  const std::vector<uchar4> img = shifted(ref, rig.W, rig.H, 5);  // label 3
  const Volume4 v = matchingCosts(rig, ref, img, MatchingCostsMetric::SAD);
  for (unsigned y = 0; y < rig.H; ++y)
    for (unsigned x = 0; x < rig.W; ++x)
      for (unsigned l = 0; l < rig.L; ++l) {
        const bool inside = x + 2 + l <= rig.W - 1;
        // A hypothesis that leaves the second image adds to neither plane.
        ASSERT_EQ(v.counts[idx(rig, x, y, l)], inside ? 1.f : 0.f) << x << " " << l;
        if (!inside) {
          ASSERT_EQ(v.sums[idx(rig, x, y, l)], 0.f);
        }
        if (inside && l == 3) {
          ASSERT_NEAR(v.sums[idx(rig, x, y, l)], 0.f, 1e-6);
        }
        if (inside) {
          const uchar4 a = ref[y * rig.W + x], b = img[y * rig.W + x + 2 + l];
          const float want = (std::abs(a.x - b.x) + std::abs(a.y - b.y) + std::abs(a.z - b.z)) / 255.f;
          ASSERT_NEAR(v.sums[idx(rig, x, y, l)], want, 2e-3) << x << " " << y << " " << l;
        }
      }
  // A second call doubles sums and counts.
  const Volume4 twice = matchingCosts(rig, ref, img, MatchingCostsMetric::SAD, 2);
  for (std::size_t i = 0; i < v.sums.size(); ++i) {
    EXPECT_EQ(twice.sums[i], 2.f * v.sums[i]);
    EXPECT_EQ(twice.counts[i], 2.f * v.counts[i]);
  }
  // A matrix with the opposite sign puts every point behind the second camera; the same pixels
  // are hit and still add their costs.
  ProjectionMatrix neg = rig.P();
  for (float& p : neg.P) p = -p;
  const Volume4 behind = matchingCosts(rig, ref, img, MatchingCostsMetric::SAD, 1, false, &neg);
  EXPECT_EQ(behind.counts, v.counts);
  // Any other metric adds nothing and reports nothing.
  const Volume4 none = matchingCosts(rig, ref, img, MatchingCostsMetric(2));
  EXPECT_EQ(none.counts, std::vector<float>(v.counts.size(), 0.f));
}

TEST(MatchingCosts, WindowedCorrelationBordersTrueDepthAndPartialWindows) {
  const Rig rig{24, 14, 6};
  const std::vector<uchar4> ref = randomImage(rig.W, rig.H, 2);
  const std::vector<uchar4> img = shifted(ref, rig.W, rig.H, 4);  // label 2
  const Volume4 v = matchingCosts(rig, ref, img, MatchingCostsMetric::NCC);
  for (unsigned y = 0; y < rig.H; ++y)
    for (unsigned x = 0; x < rig.W; ++x) {
      const bool border = x < 4 || y < 4 || x >= rig.W - 3 || y >= rig.H - 3;
      for (unsigned l = 0; l < rig.L; ++l) {
        const float count = v.counts[idx(rig, x, y, l)];
        if (border) {
          ASSERT_EQ(count, 0.f) << "border touched at " << x << "," << y;
        }
      }
      if (!border && x + 3 + 4 < rig.W - 1) {
        ASSERT_EQ(v.counts[idx(rig, x, y, 2)], 1.f);
        EXPECT_NEAR(v.sums[idx(rig, x, y, 2)], 0.f, 1e-4) << x << "," << y;
      }
    }
  // At x = W - 4, label 0 leaves 2 of 7 window columns (14 pixels) outside: still a cost;
  // label 1 leaves 3 columns (21 pixels) outside: nothing.
  EXPECT_EQ(v.counts[idx(rig, rig.W - 4, 6, 0)], 1.f);
  EXPECT_EQ(v.counts[idx(rig, rig.W - 4, 6, 1)], 0.f);
  // Constant colour in either image: no correlation, nothing added.
  const std::vector<uchar4> flat(rig.W * rig.H, make_uchar4(80, 90, 100, 255));
  const Volume4 f = matchingCosts(rig, flat, img, MatchingCostsMetric::NCC);
  EXPECT_EQ(f.counts, std::vector<float>(f.counts.size(), 0.f));
  const Volume4 g = matchingCosts(rig, ref, flat, MatchingCostsMetric::NCC);
  EXPECT_EQ(g.counts, std::vector<float>(g.counts.size(), 0.f));
}

TEST(MatchingCosts, TransparentSecondImageSamplesAreLeftOutOfTheCorrelation) {
  // Red checkerboard 100 / 200 around a centre of 150, the mean of the other 48 pixels.
  std::vector<uchar4> ref(64);
  for (unsigned y = 0; y < 8; ++y)
    for (unsigned x = 0; x < 8; ++x)
      ref[y * 8 + x] = make_uchar4((x + y) % 2 ? 200 : 100, 50, 50, 255);
  ref[4 * 8 + 4].x = 150;
  // The second image equals it but for a black centre. Transparent, the centre drops out and
  // both means are 150: perfect correlation. Opaque, it is a poor match.
  std::vector<uchar4> img = ref;
  img[4 * 8 + 4] = make_uchar4(0, 0, 0, 0);
  const Volume4 v = sameViewCosts(ref, img, false);
  img[4 * 8 + 4].w = 255;
  const Volume4 opaque = sameViewCosts(ref, img, false);
  for (unsigned l = 0; l < 2; ++l) {
    const std::size_t c = (l * 8 + 4) * 8 + 4;
    EXPECT_EQ(v.counts[c], 1.f);
    EXPECT_NEAR(v.sums[c], 0.f, 1e-5) << l;
    EXPECT_EQ(opaque.counts[c], 1.f);
    EXPECT_NEAR(opaque.sums[c], 0.0482f, 1e-3) << l;
  }
}

TEST(MatchingCosts, MisalignedImagesAreRefused) {
  tessivar_test::AllocationGuard guard;
  Device<uchar4> a(9, 4), b(8, 4);
  Device<float> costs(8, 4, 3, 2);
  const yv::Array<uchar4, 2> view = yv::internal::decreaseArrayDimension<uchar4, 4, 2>(
      yv::block(a.a, yv::Range(1, 8), yv::Range(0, 3), yv::Range(0, 0), yv::Range(0, 0)));
  yv::Array<float, 4> c = costs.a;
  const ProjectionMatrix P{{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0}};
  for (bool plane : {false, true}) {
    const auto call = [&](const yv::Array<uchar4, 2>& r, const yv::Array<uchar4, 2>& i) {
      if (plane)
        add_matching_costs2(c, r, i, 1.f, 2.f, 1.f, 1.f, 0.f, 0.f, P, MatchingCostsMetric::NCC);
      else
        add_matching_costs(c, r, i, 1.f, 2.f, 1.f, 1.f, 0.f, 0.f, P, MatchingCostsMetric::SAD);
    };
    EXPECT_THROW_MESSAGE(call(view, b.d2()), "add_matching_costs: texture offset is not 0");
    EXPECT_THROW_MESSAGE(call(b.d2(), view), "add_matching_costs: texture offset is not 0");
  }
}

class PlaneSweep : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = output_directory;
    output_directory = dir_.path();
    std::filesystem::create_directories(dir_.file("debug"));
  }
  void TearDown() override { output_directory = saved_; }
  tessivar_test::TempDir dir_;
  std::string saved_;
};

TEST_F(PlaneSweep, WarpedWindowsPrintTheWeightsAndDumpTheFirstLabel) {
  tessivar_test::AllocationGuard guard;
  const Rig rig{26, 15, 5};
  const std::vector<uchar4> ref = randomImage(rig.W, rig.H, 3);
  const std::vector<uchar4> img = shifted(ref, rig.W, rig.H, 3);  // label 1
  testing::internal::CaptureStdout();
  const Volume4 v = matchingCosts(rig, ref, img, MatchingCostsMetric::NCC, 1, true);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.rfind("gaussian 0.121491 0.142037 0.155997 0.160949 0.155997 0.142037 0.121491 (", 0),
            0u)
      << out;
  EXPECT_NE(out.find("written to " + dir_.file("debug/debug_ncc.dat")), std::string::npos);
  for (unsigned y = 0; y < rig.H; ++y)
    for (unsigned x = 0; x < rig.W; ++x) {
      const bool border = x < 4 || y < 4 || x >= rig.W - 3 || y >= rig.H - 3;
      if (border) {
        for (unsigned l = 0; l < rig.L; ++l) ASSERT_EQ(v.counts[idx(rig, x, y, l)], 0.f);
      }
      // Windows whose warped pixels all lie inside the second image correlate perfectly
      // (pixels that land exactly on its edge may round either way).
      if (!border && x + 3 + 3 < rig.W - 1 && y + 3 < rig.H - 1) {
        ASSERT_EQ(v.counts[idx(rig, x, y, 1)], 1.f) << x << "," << y;
        EXPECT_NEAR(v.sums[idx(rig, x, y, 1)], 0.f, 1e-4);
      }
    }
  // Dumps: the warped image and mean of label 0 with their element formats, and the cost plane
  // of label 0 as it stood before this call.
  std::ifstream info(dir_.file("debug/debug_image_warped.dat.yvinfo"));
  std::string line;
  std::getline(info, line);
  EXPECT_EQ(line, "26 15 1 1 1 8 8 8 8");
  std::ifstream minfo(dir_.file("debug/debug_image_warped_mean.dat.yvinfo"));
  std::getline(minfo, line);
  EXPECT_EQ(line, "26 15 1 1 2 32 32 32 32");
  EXPECT_EQ(std::filesystem::file_size(dir_.file("debug/debug_image_warped.dat")), 26u * 15 * 4);
  EXPECT_EQ(std::filesystem::file_size(dir_.file("debug/debug_image_warped_mean.dat")),
            26u * 15 * 16);
  std::ifstream ncc(dir_.file("debug/debug_ncc.dat"), std::ios::binary);
  std::vector<float> plane(26 * 15, -1.f);
  ncc.read(reinterpret_cast<char*>(plane.data()), std::streamsize(plane.size() * 4));
  EXPECT_EQ(plane, std::vector<float>(plane.size(), 0.f));
  // The metric argument is ignored.
  testing::internal::CaptureStdout();
  const Volume4 sad = matchingCosts(rig, ref, img, MatchingCostsMetric::SAD, 1, true);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(sad.sums, v.sums);
  EXPECT_EQ(sad.counts, v.counts);
}

std::vector<uchar4> readWarped(const std::string& file, std::size_t n) {
  std::vector<uchar4> w(n, make_uchar4(1, 1, 1, 1));
  std::ifstream in(file, std::ios::binary);
  in.read(reinterpret_cast<char*>(w.data()), std::streamsize(n * sizeof(uchar4)));
  return w;
}

bool operator==(uchar4 a, uchar4 b) { return a.x == b.x && a.y == b.y && a.z == b.z && a.w == b.w; }

TEST_F(PlaneSweep, PartialWindowsAndScaleRatiosOutsideHalfToTwoAddNothing) {
  const Rig rig{26, 15, 5};
  const std::vector<uchar4> ref = randomImage(rig.W, rig.H, 3);
  const std::vector<uchar4> img = shifted(ref, rig.W, rig.H, 3);  // label 1
  const std::string dump = dir_.file("debug/debug_image_warped.dat");
  const auto sweep = [&](ProjectionMatrix P) {
    testing::internal::CaptureStdout();
    const Volume4 v = matchingCosts(rig, ref, img, MatchingCostsMetric::NCC, 1, true, &P);
    testing::internal::GetCapturedStdout();
    return v;
  };
  // Label l warps reference column x from x + 2 + l. A window reaching past the second image's
  // last column gets nothing; one wholly inside always correlates (random texture). Pixels that
  // land exactly on the edge may round either way and are not checked.
  const auto expectWindowRule = [&](const Volume4& v, const char* what) {
    for (unsigned l = 0; l < rig.L; ++l)
      for (unsigned y = 4; y + 3 < rig.H; ++y)
        for (unsigned x = 4; x + 3 < rig.W; ++x) {
          const unsigned last = x + 3 + 2 + l;
          if (last > rig.W - 1) {
            ASSERT_EQ(v.counts[idx(rig, x, y, l)], 0.f) << what << " " << x << "," << y << " " << l;
          } else if (last < rig.W - 1 && y + 3 < rig.H - 1) {
            ASSERT_EQ(v.counts[idx(rig, x, y, l)], 1.f) << what << " " << x << "," << y << " " << l;
          }
        }
  };
  const Volume4 v = sweep(rig.P());
  expectWindowRule(v, "s = 1");
  // The dump is label 0: the source colour with alpha 255 inside, all zero past the edge.
  const std::vector<uchar4> warped = readWarped(dump, rig.W * rig.H);
  for (unsigned y = 1; y + 1 < rig.H; ++y)
    for (unsigned x = 0; x < rig.W; ++x) {
      const uchar4 got = warped[y * rig.W + x];
      if (x + 2 < rig.W - 1) {
        const uchar4 src = img[y * rig.W + x + 2];
        EXPECT_TRUE(got == make_uchar4(src.x, src.y, src.z, 255)) << x << "," << y;
      } else if (x + 2 > rig.W - 1) {
        EXPECT_TRUE(got == make_uchar4(0, 0, 0, 0)) << x << "," << y;
      }
    }
  // Scaling the whole matrix by k keeps (u, v) and divides the scale ratio by k; k = -1 puts
  // every point behind the second camera.
  const std::pair<float, bool> scales[] = {
      {3.f, false}, {-1.f, false}, {1.f / 2.2f, false}, {1.f / 1.9f, true}, {1.8f, true}};
  for (const auto& sc : scales) {
    ProjectionMatrix P = rig.P();
    for (float& p : P.P) p *= sc.first;
    const Volume4 w = sweep(P);
    const std::string what = "scale " + std::to_string(sc.first);
    if (sc.second) {
      expectWindowRule(w, what.c_str());
      continue;
    }
    EXPECT_EQ(w.counts, std::vector<float>(w.counts.size(), 0.f)) << what;
    const std::vector<uchar4> wd = readWarped(dump, rig.W * rig.H);
    EXPECT_EQ(std::count_if(wd.begin(), wd.end(), [](uchar4 p) { return p.x | p.y | p.z | p.w; }),
              0) << what;
  }
}

TEST_F(PlaneSweep, TransparentReferenceGivesAZeroReferenceMean) {
  // Red on 13 of the 49 window pixels of (4, 4), black elsewhere; the second image's alpha
  // is not 255, the warp's is.
  std::vector<uchar4> img(64, make_uchar4(0, 0, 0, 200));
  for (unsigned x = 1; x <= 7; ++x) img[4 * 8 + x].x = 255;
  for (unsigned x = 1; x <= 6; ++x) img[2 * 8 + x].x = 255;
  std::vector<uchar4> ref = img;
  for (uchar4& p : ref) p.w = 255;
  testing::internal::CaptureStdout();
  const Volume4 opaque = sameViewCosts(ref, img, true);
  ref[7 * 8 + 7].w = 0;  // inside the window: the reference mean at (4, 4) becomes zero
  const Volume4 v = sameViewCosts(ref, img, true);
  testing::internal::GetCapturedStdout();
  const std::vector<uchar4> warped = readWarped(dir_.file("debug/debug_image_warped.dat"), 64);
  for (std::size_t i = 0; i < 64; ++i)
    EXPECT_TRUE(warped[i] == make_uchar4(img[i].x, 0, 0, 255)) << i;
  // Against the zero mean, b is the colour itself: with k = 13 red pixels, sab = saa =
  // k (49 - k) / 49 and sbb = k, so ncc = sqrt(36 / 49) = 6/7 and the cost 1 - 13/14.
  for (unsigned l = 0; l < 2; ++l)
    for (std::size_t i = 0; i < 64; ++i) {
      const std::size_t c = l * 64 + i;
      EXPECT_EQ(v.counts[c], i == 4 * 8 + 4 ? 1.f : 0.f) << i;
      EXPECT_EQ(opaque.counts[c], v.counts[c]) << i;
      if (i == 4 * 8 + 4) {
        EXPECT_NEAR(v.sums[c], 1.f / 14.f, 1e-5);
        EXPECT_NEAR(opaque.sums[c], 0.f, 1e-5);
      }
    }
}

// Mean costs in the image-major order sgm takes; cells nothing was added to get `missing`.
std::vector<float> meanCosts(const Volume4& v, float missing) {
  std::vector<float> c(v.sums.size());
  for (std::size_t i = 0; i < c.size(); ++i)
    c[i] = v.counts[i] > 0.f ? v.sums[i] / v.counts[i] : missing;
  return c;
}

// Costs -> sgm -> labels -> depths.
std::vector<float> labelsFromCosts(const Rig& rig, const std::vector<float>& costs,
                                   std::vector<float>* depth) {
  Device<float> dCosts(rig.W, rig.H, rig.L), labels(rig.W, rig.H);
  dCosts.upload(costs);
  yv::Array<float, 2> l = labels.d2();
  yv::Array<float, 3> c = dCosts.d3();
  const bool saved = debug_depthmap;
  debug_depthmap = false;
  sgm(l, c, 0.05f, 0.6f, yv::Array<float, 2>{}, 8, true);
  debug_depthmap = saved;
  const std::vector<float> result = labels.download();
  convert_labels_to_depth(l, int(rig.L), rig.depth0(), rig.depth1());
  *depth = labels.download();
  return result;
}

TEST(SemiGlobalMatching, ConstantDisparityIsRecoveredAsLabelAndDepth) {
  tessivar_test::AllocationGuard guard;
  const Rig rig{48, 20, 32};
  const std::vector<uchar4> ref = randomImage(rig.W, rig.H, 4);
  const std::vector<uchar4> img = shifted(ref, rig.W, rig.H, 9);  // label 7, depth 10/9
  const Volume4 v = matchingCosts(rig, ref, img, MatchingCostsMetric::SAD);
  std::vector<float> depth;
  const std::vector<float> labels = labelsFromCosts(rig, meanCosts(v, 3.f), &depth);
  int good = 0, total = 0;
  for (unsigned y = 0; y < rig.H; ++y)
    for (unsigned x = 0; x + 9 < rig.W; ++x) {
      ++total;
      const float l = labels[y * rig.W + x];
      if (std::fabs(l - 7.f) < 0.5f) ++good;
      EXPECT_NEAR(depth[y * rig.W + x], 1.f / (0.2f + 0.1f * l), 1e-4f);
    }
  EXPECT_GE(good, total * 97 / 100) << good << " of " << total;
  EXPECT_NEAR(depth[5 * rig.W + 10], 10.f / 9.f, 0.06f);
}

TEST(SemiGlobalMatching, PlanarDisparityIsFollowedRowByRow) {
  const Rig rig{56, 24, 16};
  // Disparity grows linearly from 4 to 12 pixels down the image: a slanted plane.
  const auto disparity = [&](unsigned y) { return 4.f + 8.f * float(y) / float(rig.H - 1); };
  std::vector<uchar4> ref(rig.W * rig.H), img(rig.W * rig.H);
  for (unsigned y = 0; y < rig.H; ++y)
    for (unsigned x = 0; x < rig.W; ++x) {
      ref[y * rig.W + x] = smooth(float(x), float(y));
      img[y * rig.W + x] = smooth(float(x) - disparity(y), float(y));
    }
  const Volume4 v = matchingCosts(rig, ref, img, MatchingCostsMetric::NCC);
  std::vector<float> depth;
  const std::vector<float> labels = labelsFromCosts(rig, meanCosts(v, 1.f), &depth);
  int good = 0, total = 0;
  for (unsigned y = 4; y + 3 < rig.H; ++y)
    for (unsigned x = 4; x + 16 < rig.W; ++x) {
      ++total;
      if (std::fabs(labels[y * rig.W + x] - (disparity(y) - 2.f)) < 0.6f) ++good;
    }
  EXPECT_GE(good, total * 9 / 10) << good << " of " << total;
}

}  // namespace
