#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "dasp/dasp.h"
#include "dasp/seeds.h"
#include "support/test_support.h"

namespace {

struct Scene {
  slimage::Image3ub color;
  slimage::Image1ui16 depth;
};

// depth(x, y) in thousandths, colour(x, y, channel).
Scene makeScene(unsigned W, unsigned H, const std::function<int(unsigned, unsigned)>& depth,
                const std::function<int(unsigned, unsigned, int)>& color) {
  Scene s{slimage::Image3ub(W, H), slimage::Image1ui16(W, H)};
  for (unsigned y = 0; y < H; ++y)
    for (unsigned x = 0; x < W; ++x) {
      s.depth(x, y)[0] = (unsigned short)depth(x, y);
      for (int c = 0; c < 3; ++c) s.color(x, y)[c] = (unsigned char)color(x, y, c);
    }
  return s;
}

// A textured room corner with holes in the depth.
Scene texturedScene(unsigned W, unsigned H) {
  return makeScene(
      W, H,
      [&](unsigned x, unsigned y) {
        if ((x * 7 + y * 13) % 29 == 0) return 0;
        return int(1500 + 4 * x + (y > H / 2 ? 800 : 0));
      },
      [](unsigned x, unsigned y, int c) { return int((x * (3 + c) + y * (5 + 2 * c)) % 200 + 20); });
}

dasp::Parameters params(unsigned W, unsigned H, int count) {
  dasp::Parameters p;
  p.camera_cx = (W - 1) * 0.5f;
  p.camera_cy = (H - 1) * 0.5f;
  p.camera_focal = float(W);
  p.count = count;
  return p;
}

// Clusters are non-empty and sorted, no pixel is in two; every pixel with depth is in one (the
// scenes these checks run on have no outliers); a pixel without depth is listed only as a hole
// with two listed neighbours of its cluster, and only while 80 % of the cluster's pixels have a
// depth; a cluster's pixels are 4-connected through its own pixels and the holes around them.
void expectClusters(const dasp::Superpixels& s, const slimage::Image1ui16& depth) {
  const unsigned W = s.width, H = s.height;
  std::vector<int> owner(std::size_t(W) * H, -1);
  for (std::size_t k = 0; k < s.cluster.size(); ++k) {
    const std::vector<int>& ids = s.cluster[k].pixel_ids;
    ASSERT_FALSE(ids.empty()) << "cluster " << k;
    ASSERT_TRUE(std::is_sorted(ids.begin(), ids.end())) << "cluster " << k;
    std::size_t with_depth = 0;
    for (int i : ids) {
      ASSERT_GE(i, 0);
      ASSERT_LT(i, int(W * H));
      ASSERT_EQ(owner[i], -1) << "pixel " << i << " in two clusters";
      owner[i] = int(k);
      with_depth += depth[std::size_t(i)] != 0;
    }
    ASSERT_LE(0.8 * double(ids.size()), double(with_depth)) << "cluster " << k;
    for (int c = 0; c < 3; ++c) {
      EXPECT_GE(s.cluster[k].color[c], 0.0f);
      EXPECT_LE(s.cluster[k].color[c], 1.0f);
    }
  }
  auto near = [&](int i, auto&& test) {
    const int x = i % int(W), y = i / int(W), nb[4][2] = {{x - 1, y}, {x + 1, y}, {x, y - 1}, {x, y + 1}};
    int hits = 0;
    for (const auto& n : nb)
      if (n[0] >= 0 && n[1] >= 0 && n[0] < int(W) && n[1] < int(H)) hits += test(n[1] * int(W) + n[0]);
    return hits;
  };
  for (std::size_t i = 0; i < owner.size(); ++i) {
    if (depth[i] != 0) {
      ASSERT_NE(owner[i], -1) << "pixel " << i;
    } else if (owner[i] >= 0) {
      ASSERT_GE(near(int(i), [&](int j) { return owner[j] == owner[i] && depth[std::size_t(j)] != 0; }), 2)
          << "hole " << i;
    }
  }
  std::vector<char> seen(owner.size(), 0);
  for (std::size_t k = 0; k < s.cluster.size(); ++k) {
    std::vector<int> stack{s.cluster[k].pixel_ids.front()};
    std::fill(seen.begin(), seen.end(), 0);
    seen[stack.back()] = 1;
    std::size_t reached = 0;
    while (!stack.empty()) {
      const int i = stack.back();
      stack.pop_back();
      reached += owner[i] == int(k);
      near(i, [&](int j) {
        if (!seen[j] && (owner[j] == int(k) || (owner[j] < 0 && depth[std::size_t(j)] == 0)))
          seen[j] = 1, stack.push_back(j);
        return 0;
      });
    }
    EXPECT_EQ(reached, s.cluster[k].pixel_ids.size()) << "cluster " << k << " is not connected";
  }
}

}  // namespace

TEST(Superpixels, PartitionTheImageIntoAboutTheRequestedCount) {
  const Scene s = texturedScene(160, 120);
  const dasp::Superpixels sp = dasp::ComputeSuperpixels(s.color, s.depth, params(160, 120, 300));
  EXPECT_EQ(sp.width, 160u);
  EXPECT_EQ(sp.height, 120u);
  expectClusters(sp, s.depth);
  EXPECT_GT(sp.cluster.size(), 240u);
  EXPECT_LT(sp.cluster.size(), 330u);
}

TEST(Superpixels, PixelsWithoutDepthJoinOnlyAsSmallHoles) {
  const auto colour = [](unsigned x, unsigned y, int c) { return int((x + y + c) % 7 * 30); };
  const Scene none = makeScene(64, 48, [](unsigned, unsigned) { return 0; }, colour);
  EXPECT_TRUE(dasp::ComputeSuperpixels(none.color, none.depth, params(64, 48, 60)).cluster.empty());

  // A wall whose every third row and column has no depth, as registering a depth camera into the
  // colour camera leaves it: the holes between two pixels with depth fill up to the 80 % share,
  // the crossings of empty rows and columns, with no such neighbour, never.
  const Scene lattice = makeScene(
      90, 60, [](unsigned x, unsigned y) { return x % 3 == 0 || y % 3 == 0 ? 0 : 1000; }, colour);
  const dasp::Superpixels sp = dasp::ComputeSuperpixels(lattice.color, lattice.depth, params(90, 60, 40));
  expectClusters(sp, lattice.depth);
  std::size_t holes = 0, listed = 0;
  for (const dasp::Cluster& c : sp.cluster) {
    for (int i : c.pixel_ids) {
      ASSERT_FALSE(i % 90 % 3 == 0 && i / 90 % 3 == 0) << "crossing " << i;
      holes += lattice.depth[std::size_t(i)] == 0;
    }
    listed += c.pixel_ids.size();
  }
  EXPECT_GT(double(holes), 0.15 * double(listed));

  // Without a count the base radius decides; a wall at one unit.
  dasp::Parameters p = params(64, 48, 0);
  p.camera_focal = 64.0f;
  p.base_radius = 0.05f;  // about 3.2 pixels: 3072 / (pi 3.2^2) = 95 superpixels
  const Scene wall = makeScene(64, 48, [](unsigned, unsigned) { return 1000; }, colour);
  const dasp::Superpixels b = dasp::ComputeSuperpixels(wall.color, wall.depth, p);
  expectClusters(b, wall.depth);
  EXPECT_GT(b.cluster.size(), 75u);
  EXPECT_LT(b.cluster.size(), 110u);
}

TEST(Superpixels, PixelsOffTheClusterSurfaceAreLeftOut) {
  // A slanted wall with spikes, and a step whose edge column mixes the depths on both sides in
  // changing shares, as a sensor's mixed pixels do.
  const unsigned W = 120, H = 80;
  const auto spike = [](unsigned x, unsigned y) { return (x * 7 + y * 11) % 41 == 0; };
  const auto mixed = [](unsigned x, unsigned) { return x == 60; };
  const Scene s = makeScene(
      W, H,
      [&](unsigned x, unsigned y) {
        const int wall = int(1500 + 3 * x + 2 * y);
        if (spike(x, y)) return wall * 3 / 2;
        if (mixed(x, y)) return wall + 60 + int(y * 71 % 97) * 5;  // between wall and step
        return x > 60 ? wall + 600 : wall;
      },
      [](unsigned x, unsigned y, int c) { return int((x * (3 + c) + y * 5) % 200 + 20); });
  const dasp::Superpixels sp = dasp::ComputeSuperpixels(s.color, s.depth, params(W, H, 120));
  std::vector<char> listed(std::size_t(W) * H, 0);
  for (const dasp::Cluster& c : sp.cluster)
    for (int i : c.pixel_ids) listed[std::size_t(i)] = 1;
  std::size_t lost = 0;
  for (unsigned y = 0; y < H; ++y)
    for (unsigned x = 0; x < W; ++x) {
      if (spike(x, y) || mixed(x, y))
        EXPECT_FALSE(listed[y * W + x]) << "outlier at " << x << ", " << y;
      else
        lost += !listed[y * W + x];
    }
  EXPECT_LT(lost, std::size_t(W * H / 100)) << "pixels on the surfaces left out";
}

TEST(Superpixels, SpikesAndFarClustersCountAsHoles) {
  // Far readings, as sensors give at their range limit, alone or in groups smaller or larger than
  // a superpixel (64 pixels here), one per cell of the given side, and holes at the same pixels:
  // the same radius and clusters, except that a hole may be listed and a far reading never.
  const Scene holes = texturedScene(160, 120);
  struct Case {
    int far;
    unsigned w, h, cell;
  };
  for (const Case c : {Case{4500, 1, 1, 16}, Case{65535, 1, 1, 16}, Case{60000, 2, 2, 16},
                       Case{60000, 3, 3, 16}, Case{60000, 3, 1, 16}, Case{15000, 1, 3, 16},
                       Case{60000, 10, 10, 64}, Case{20000, 12, 8, 64}}) {
    const auto far = [&](unsigned x, unsigned y) {
      return x % c.cell >= 5 && x % c.cell < 5 + c.w && y % c.cell >= 7 && y % c.cell < 7 + c.h &&
             holes.depth(x, y)[0] != 0;
    };
    Scene spikes = holes, zeros = holes;
    for (unsigned y = 0; y < 120; ++y)
      for (unsigned x = 0; x < 160; ++x)
        if (far(x, y)) spikes.depth(x, y)[0] = (unsigned short)c.far, zeros.depth(x, y)[0] = 0;
    const dasp::Parameters p = params(160, 120, 300);
    const dasp::Superpixels a = dasp::ComputeSuperpixels(spikes.color, spikes.depth, p);
    const dasp::Superpixels b = dasp::ComputeSuperpixels(zeros.color, zeros.depth, p);
    const std::string what = std::to_string(c.far) + " in " + std::to_string(c.w) + " x " +
                             std::to_string(c.h);
    EXPECT_EQ(a.radius, b.radius) << what;
    ASSERT_EQ(a.cluster.size(), b.cluster.size()) << what;
    for (std::size_t k = 0; k < a.cluster.size(); ++k) {
      std::vector<int> expected;
      for (int i : b.cluster[k].pixel_ids)
        if (!far(unsigned(i) % 160, unsigned(i) / 160)) expected.push_back(i);
      ASSERT_EQ(a.cluster[k].pixel_ids, expected) << what << ", cluster " << k;
    }
  }

  // A strip of 4 rows running off from the wall to 48 units stays (it reaches the wall's depths),
  // but its far readings weigh as readings at twice the bulk depth: unbounded, the strip's 2 % of
  // the pixels would draw most of the superpixels.
  Scene floor = holes;
  for (unsigned y = 116; y < 120; ++y)
    for (unsigned x = 0; x < 160; ++x)
      floor.depth(x, y)[0] = (unsigned short)std::lround(1500.0 * std::pow(1.022, double(x)));
  const dasp::Superpixels sp = dasp::ComputeSuperpixels(floor.color, floor.depth,
                                                        params(160, 120, 300));
  std::size_t on_strip = 0, strip_listed = 0;
  for (const dasp::Cluster& c : sp.cluster) {
    const auto n = std::count_if(c.pixel_ids.begin(), c.pixel_ids.end(),
                                 [](int i) { return i / 160 >= 116; });
    on_strip += 2 * std::size_t(n) > c.pixel_ids.size();
    strip_listed += std::size_t(n);
  }
  EXPECT_LT(on_strip, sp.cluster.size() / 2);
  EXPECT_GT(strip_listed, 600u);
}

TEST(Superpixels, MeanColourKeepsTheInputChannelOrder) {
  const Scene s = makeScene(
      40, 30, [](unsigned, unsigned) { return 1000; },
      [](unsigned x, unsigned, int c) { return x < 20 ? (c == 0 ? 10 : c == 1 ? 128 : 255) : 200; });
  const dasp::Superpixels sp = dasp::ComputeSuperpixels(s.color, s.depth, params(40, 30, 20));
  expectClusters(sp, s.depth);
  for (const dasp::Cluster& c : sp.cluster) {
    // A strong colour edge on a flat wall: no cluster mixes the two halves.
    const bool left = c.pixel_ids.front() % 40 < 20;
    for (int i : c.pixel_ids) ASSERT_EQ(i % 40 < 20, left);
    if (left) {
      EXPECT_FLOAT_EQ(c.color[0], 10.0f / 255.0f);
      EXPECT_FLOAT_EQ(c.color[1], 128.0f / 255.0f);
      EXPECT_FLOAT_EQ(c.color[2], 1.0f);
    } else {
      for (int k = 0; k < 3; ++k) EXPECT_FLOAT_EQ(c.color[k], 200.0f / 255.0f);
    }
  }
}

TEST(Superpixels, DoNotCrossADepthStepAndAreDenserWhereFar) {
  // One colour everywhere: only the depth tells the halves apart. Left 1.0, right 2.0 units.
  const unsigned W = 200, H = 100;
  const Scene s = makeScene(
      W, H, [&](unsigned x, unsigned) { return x < W / 2 ? 1000 : 2000; },
      [](unsigned, unsigned, int) { return 90; });
  const dasp::Superpixels sp = dasp::ComputeSuperpixels(s.color, s.depth, params(W, H, 250));
  expectClusters(sp, s.depth);
  int near = 0, far = 0;
  for (const dasp::Cluster& c : sp.cluster) {
    const bool left = unsigned(c.pixel_ids.front()) % W < W / 2;
    for (int i : c.pixel_ids) ASSERT_EQ(unsigned(i) % W < W / 2, left) << "crosses the step";
    (left ? near : far) += 1;
  }
  // Each pixel of the far half sees four times the area, so it gets about four times as many.
  EXPECT_GT(far, 3 * near);
  EXPECT_LT(far, 5 * near);
  EXPECT_NEAR(near + far, 250, 30);
}

TEST(Superpixels, SameResultForEveryThreadCount) {
  // Large enough that every stage starts a team of several threads.
  const Scene s = texturedScene(480, 360);
  const int saved = omp_get_max_threads();
  std::vector<dasp::Superpixels> runs;
  for (int threads : {1, 3, 8}) {
    omp_set_num_threads(threads);
    runs.push_back(dasp::ComputeSuperpixels(s.color, s.depth, params(480, 360, 1500)));
  }
  omp_set_num_threads(saved);
  for (std::size_t r = 1; r < runs.size(); ++r) {
    ASSERT_EQ(runs[r].cluster.size(), runs[0].cluster.size());
    for (std::size_t k = 0; k < runs[0].cluster.size(); ++k) {
      EXPECT_EQ(runs[r].cluster[k].pixel_ids, runs[0].cluster[k].pixel_ids);
      for (int c = 0; c < 3; ++c) EXPECT_EQ(runs[r].cluster[k].color[c], runs[0].cluster[k].color[c]);
    }
  }
}

TEST(Superpixels, CountIsCappedAtThePixelCount) {
  const Scene s = makeScene(
      8, 6, [](unsigned, unsigned) { return 1000; },
      [](unsigned x, unsigned y, int) { return int(x * 30 + y); });
  // One seed per pixel, and every pixel is nearest to its own seed.
  for (int count : {48, 1000}) {
    const dasp::Superpixels sp = dasp::ComputeSuperpixels(s.color, s.depth, params(8, 6, count));
    expectClusters(sp, s.depth);
    ASSERT_EQ(sp.cluster.size(), 48u);
    for (std::size_t k = 0; k < 48; ++k) EXPECT_EQ(sp.cluster[k].pixel_ids.size(), 1u);
  }
}

TEST(Superpixels, EmptyAndMismatchedImages) {
  const dasp::Superpixels sp =
      dasp::ComputeSuperpixels(slimage::Image3ub(), slimage::Image1ui16(), params(1, 1, 10));
  EXPECT_TRUE(sp.cluster.empty());
  EXPECT_THROW_MESSAGE(
      dasp::ComputeSuperpixels(slimage::Image3ub(4, 3), slimage::Image1ui16(4, 2),
                               params(4, 3, 2)),
      "dasp::ComputeSuperpixels: colour and depth images differ in size\ncolour: 4 x 3\n"
      "depth: 4 x 2");
  dasp::Parameters p = params(4, 3, 2);
  p.camera_focal = 0.0f;
  EXPECT_THROW_MESSAGE(
      dasp::ComputeSuperpixels(slimage::Image3ub(4, 3), slimage::Image1ui16(4, 3), p),
      "dasp::ComputeSuperpixels: focal length, depth unit and radius must be positive");
}

TEST(SuperpixelSeeds, DensityFollowsTheSeenArea) {
  // A wall at 1 unit, f = 100: each pixel sees 1e-4, the 100 x 100 image 1 square unit.
  slimage::Image1ui16 depth(100, 100);
  for (std::size_t i = 0; i < depth.size(); ++i) depth[i] = 1000;
  dasp::Parameters p = params(100, 100, 100);
  p.camera_focal = 100.0f;
  dasp::internal::SeedDensity d = dasp::internal::seedDensity(depth, p);
  EXPECT_NEAR(d.radius, std::sqrt(1.0 / (100.0 * M_PI)), 1e-6);
  EXPECT_NEAR(d.mean_area, 1e-4, 1e-9);
  for (float v : d.density) ASSERT_NEAR(v, 0.01f, 1e-6f);

  // Twice as far on the right half: four times the density there, a hole gets the mean area.
  for (unsigned y = 0; y < 100; ++y)
    for (unsigned x = 50; x < 100; ++x) depth(x, y)[0] = 2000;
  depth(10, 10)[0] = 0;
  d = dasp::internal::seedDensity(depth, p);
  EXPECT_NEAR(d.density[20 * 100 + 80] / d.density[20 * 100 + 20], 4.0f, 1e-4f);
  EXPECT_NEAR(d.density[10 * 100 + 10], d.mean_area / (M_PI * d.radius * d.radius), 1e-6);
  double total = 0.0;
  for (float v : d.density) total += v;
  EXPECT_NEAR(total, 100.0, 0.05);

  // A plane turned by 45 degrees about the vertical axis sees sqrt(2) times the area per pixel.
  for (unsigned y = 0; y < 100; ++y)
    for (unsigned x = 0; x < 100; ++x) depth(x, y)[0] = (unsigned short)(1000 + 10 * x);
  d = dasp::internal::seedDensity(depth, p);
  const float z = 1.5f, flat = (z / 100.0f) * (z / 100.0f);
  const float slanted = flat * std::sqrt(1.0f + (0.01f * 100.0f / z) * (0.01f * 100.0f / z));
  EXPECT_NEAR(d.density[50 * 100 + 50] / (slanted / (M_PI * d.radius * d.radius)), 1.0f, 1e-3f);
}

TEST(SuperpixelSeeds, SpreadFollowsTheDensity) {
  const unsigned W = 80, H = 60;
  std::vector<float> density(W * H, 0.05f);
  for (unsigned y = 0; y < H; ++y)
    for (unsigned x = W / 2; x < W; ++x) density[y * W + x] = 0.2f;
  const std::vector<int> seeds = dasp::internal::spreadSeeds(density, W, H);
  const std::set<int> unique(seeds.begin(), seeds.end());
  EXPECT_EQ(unique.size(), seeds.size());
  int left = 0, right = 0;
  for (int i : seeds) (unsigned(i) % W < W / 2 ? left : right) += 1;
  EXPECT_NEAR(left, 0.05 * W * H / 2, 6);
  EXPECT_NEAR(right, 0.2 * W * H / 2, 6);
  // Full density puts a seed on every pixel; an empty image has none, a tiny density one.
  EXPECT_EQ(dasp::internal::spreadSeeds(std::vector<float>(12, 1.0f), 4, 3).size(), 12u);
  EXPECT_TRUE(dasp::internal::spreadSeeds({}, 0, 0).empty());
  EXPECT_EQ(dasp::internal::spreadSeeds(std::vector<float>(12, 0.001f), 4, 3),
            std::vector<int>{1 * 4 + 2});
}
