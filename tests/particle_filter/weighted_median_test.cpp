// The weighted median of the position update against the penalty it minimises and against the
// rank search that defines its bits.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "weighted_median.h"

namespace {

double penalty(const std::vector<ParticleOffsetCandidate>& records, double t) {
  double sum = 0.0;
  for (const auto& r : records) {
    if (r.kind == 3) sum += r.weight * std::fabs(t - r.value);
    if (r.kind == 1) sum += r.weight * std::max(0.0, t - r.value);
    if (r.kind == 2) sum += r.weight * std::max(0.0, r.value - t);
  }
  return sum;
}

}  // namespace

TEST(WeightedMedian, LargestMinimiserOfThePenaltySum) {
  std::mt19937 rng(99);
  std::uniform_int_distribution<int> value(-20, 20), weight(0, 8), kind(1, 3), count(1, 40);
  for (int trial = 0; trial < 3000; ++trial) {
    std::vector<ParticleOffsetCandidate> records(count(rng));
    for (auto& r : records) r = {float(value(rng)), float(weight(rng)), kind(rng)};
    const std::vector<ParticleOffsetCandidate> original(records);
    const float median = weighted_median(records);
    // The penalty is piecewise linear with its kinks at the values: the best value is a
    // minimiser, and the median is the largest of the best values.
    double best = 1e300;
    float best_value = 0.f;
    for (const auto& r : original) {
      const double p = penalty(original, r.value);
      if (p < best || (p == best && r.value > best_value)) {
        best = p;
        best_value = r.value;
      }
    }
    ASSERT_EQ(median, best_value) << "trial " << trial;
  }
}

TEST(WeightedMedian, OneCandidateAgainstTheDataTerm) {
  for (float alpha : {0.5f, 1.f, 1.5f}) {
    std::vector<ParticleOffsetCandidate> records = {{0.3f, 1.f, 3}, {0.f, alpha, 3}};
    EXPECT_EQ(weighted_median(records), alpha <= 1.f ? 0.3f : 0.f) << "alpha " << alpha;
  }
}

// Weights far apart: F at the end of the group of value 1 is -0.84375, which sums next to 2^57
// cannot tell from 0, and F at the end of the group of value 2 is 0.46875; the median is 2.
TEST(WeightedMedian, GroupEndingWithinRoundingOfZeroBeforeTheLastValue) {
  std::vector<ParticleOffsetCandidate> records = {{2.f, 1.3125f, 2},
                                                  {1.f, 0x1.e0000ap+27f, 2},
                                                  {5.f, 0x1.a00014p+28f, 1},
                                                  {0.f, 0.46875f, 1},
                                                  {1.f, 0x1.00001ap+57f, 2}};
  std::vector<ParticleOffsetCandidate> by_ranks(records);
  EXPECT_EQ(weighted_median_by_ranks(by_ranks), 2.f);
  EXPECT_EQ(weighted_median(records), 2.f);
}

// The last-rank rule at a pivot: the range ends at value 2 only because value 3 was split off
// above it, so F after the 2s, near 0 between weights of 2^41 and 2^59, is not taken as the end
// of the last group; the rank search's single-precision sums go on to 3.
TEST(WeightedMedian, PivotGroupEndingARangeBelowTheLastRank) {
  std::vector<ParticleOffsetCandidate> records = {
      {2.f, 0x1p-2f, 2}, {3.f, 0x1.cp-1f, 1}, {4.f, 0x1.cp-2f, 2}, {2.f, 0x1.5p-2f, 1},
      {3.f, 0x1.6p-1f, 2}, {2.f, 0x1.1p-1f, 1}, {2.f, 0x1.ap-2f, 1}, {2.f, 0x1.4p+1f, 1},
      {2.f, 0x1.5p-1f, 2}, {2.f, 0x1.7p-2f, 3}, {2.f, 0x1.ap-1f, 1}, {2.f, 0x1.7p+41f, 2},
      {0.f, 0x1.4p-1f, 1}, {3.f, 0x1.7p-2f, 3}, {3.f, 0x1.ap-1f, 1}, {2.f, 0x1.6p+59f, 2},
      {0.f, 0x1.bp-2f, 3}, {3.f, 0x1.1p+0f, 1}, {2.f, 0x1.9p+4f, 3}, {2.f, 0x1.1p+1f, 3},
      {4.f, 0x1.2p+1f, 1}, {4.f, 0x1.7p-2f, 1}, {0.f, 0x1.ep+0f, 1}, {4.f, 0x1.6p-4f, 3},
      {2.f, 0x1.8p+0f, 1}, {2.f, 0x1.ap+1f, 2}, {2.f, 0x1.ap+0f, 1}, {0.f, 0x1.cp+1f, 1},
      {4.f, 0x1.2p-2f, 1}, {2.f, 0x1.5p+0f, 2}, {0.f, 0x1p-1f, 2}, {0.f, 0x1.ep-1f, 1},
      {2.f, 0x1.5p+1f, 3}, {4.f, 0x1.5p+1f, 3}};
  ASSERT_EQ(records.size(), 34u);
  std::vector<ParticleOffsetCandidate> by_ranks(records);
  EXPECT_EQ(weighted_median_by_ranks(by_ranks), 3.f);
  EXPECT_EQ(weighted_median(records), 3.f);
}

// Ties, both signed zeros, sums that cross zero within rounding, weights over many magnitudes and
// unusable weights: the result has the bits of the rank search in every case.
TEST(WeightedMedian, SameBitsAsTheRankSearch) {
  std::mt19937 rng(5);
  std::uniform_int_distribution<int> value(-3, 3), kind(1, 3), count(2, 150), mode(0, 3),
      tenths(0, 9), exponent(-40, 40), rare(0, 200);
  for (int trial = 0; trial < 20000; ++trial) {
    const int weights = mode(rng);
    std::vector<ParticleOffsetCandidate> records(count(rng));
    for (auto& r : records) {
      const int v = value(rng);
      // Zeros of both signs, and values that differ only in the last bits.
      r.value = v == 0 ? (rare(rng) % 2 ? -0.f : 0.f) : v == 3 ? 1.f + 1e-7f * tenths(rng) : v;
      r.kind = kind(rng);
      if (weights == 0) r.weight = float(tenths(rng));
      if (weights == 1) r.weight = 0.1f * tenths(rng);
      if (weights == 2) r.weight = std::ldexp(1.f + 0.1f * tenths(rng), exponent(rng));
      if (weights == 3) r.weight = 0.3f;
      const int odd = rare(rng);
      if (odd == 0) r.weight = std::numeric_limits<float>::quiet_NaN();
      if (odd == 1) r.weight = std::numeric_limits<float>::infinity();
      if (odd == 2) r.weight = -0.5f;
    }
    std::vector<ParticleOffsetCandidate> by_ranks(records);
    const float fast = weighted_median(records), defined = weighted_median_by_ranks(by_ranks);
    ASSERT_EQ(std::memcmp(&fast, &defined, sizeof(float)), 0)
        << "trial " << trial << ": " << fast << " instead of " << defined;
  }
}
