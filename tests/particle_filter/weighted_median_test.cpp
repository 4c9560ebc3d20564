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

// Values that drive std::nth_element's partitions into its depth limit: McIlroy's adversary
// fixes a value only when a comparison needs it, and makes the likely pivot the smallest yet.
// Unfixed values compare above all fixed ones and equal to one another.
std::vector<float> median_of_three_killer(int n) {
  std::vector<int> fixed(n, n), order(n);
  int next = 0, candidate = 0;
  for (int i = 0; i < n; ++i) order[i] = i;
  std::nth_element(order.begin(), order.begin() + n / 2, order.end(), [&](int x, int y) {
    if (fixed[x] == n && fixed[y] == n) fixed[x == candidate ? x : y] = next++;
    if (fixed[x] == n)
      candidate = x;
    else if (fixed[y] == n)
      candidate = y;
    return fixed[x] < fixed[y];
  });
  return std::vector<float>(fixed.begin(), fixed.end());
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

// Calls shaped like a scan's: many distinct values around the median, rare far outliers and
// repeated values, light weights against one heavy data record. They take every level of the
// bucketing; the result has the bits of the rank search, and the cheaper route settles most.
TEST(WeightedMedian, SameBitsOnClusteredValuesWithOutliers) {
  std::mt19937 rng(26);
  std::normal_distribution<float> offset(0.f, 0.01f);
  std::lognormal_distribution<float> weight(-12.f, 2.f);
  std::uniform_int_distribution<int> count(2, 3000), kind(0, 19), rare(0, 499);
  int settled = 0;
  const int trials = 400;
  for (int trial = 0; trial < trials; ++trial) {
    std::vector<ParticleOffsetCandidate> records(count(rng));
    for (auto& r : records) {
      const int odd = rare(rng);
      r.value = odd == 0 ? 1e30f : odd == 1 ? -1e-30f : odd < 20 ? 0.0042f : offset(rng);
      r.weight = weight(rng) * (trial % 4 == 0 ? 1e4f : 1.f);
      const int k = kind(rng);
      r.kind = k == 0 ? 1 : k == 1 ? 2 : 3;
    }
    records.back() = {0.f, 0.1f, 3};
    float selected;
    settled += weighted_median_by_selection(records.data(), static_cast<int>(records.size()),
                                            selected);
    std::vector<ParticleOffsetCandidate> by_ranks(records);
    const float fast = weighted_median(records), defined = weighted_median_by_ranks(by_ranks);
    ASSERT_EQ(std::memcmp(&fast, &defined, sizeof(float)), 0)
        << "trial " << trial << ": " << fast << " instead of " << defined;
  }
  EXPECT_GT(settled, trials * 3 / 4);
}

// Rounding that drifts one way: S = -(2^25 - 2^20) and slopes of 2 a + 63/64, so while the sum
// is at least 2^24 in size every addition rounds away from 0 by almost a whole unit. Exact F at
// the end of the value n is about +120, the rank search's sum there below 0: it answers n + 1,
// where exact arithmetic gives n. The bounds on that drift must keep the cheaper route from
// answering n.
TEST(WeightedMedian, RoundingThatDriftsOneWay) {
  const double W = 32505856.0;
  std::vector<ParticleOffsetCandidate> records;
  double f = -W;
  int n = 0;
  for (int i = 1; n == 0; ++i) {
    double c = 2.0 * (40000 + (i * 7919) % 20000) + 0.984375;
    if (f + c > 0.0) {
      c = 2.0 * std::floor((-f + 120.0 - 0.984375) / 2.0) + 0.984375;
      n = i;
    }
    records.push_back({float(i), float(c), 1});
    f += c;
  }
  for (int i = 1; i <= 40; ++i)
    records.push_back({float(n + i), float(2.0 * (40000 + (i * 104729) % 20000) + 0.984375), 1});
  records.push_back({1e6f, float(W), 2});
  std::vector<ParticleOffsetCandidate> by_ranks(records);
  EXPECT_EQ(weighted_median_by_ranks(by_ranks), float(n + 1));
  EXPECT_EQ(weighted_median(records), float(n + 1));
}

// The quick rank search reproduces the standard library's selection step by step: where the
// order of the sums matters (weights over many binades, values that tie, NaN values), its bits
// are those of the search over std::nth_element, on short ranges and on long ones.
TEST(WeightedMedian, QuickRankSearchHasTheBitsOfTheRankSearch) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> count(1, 700), distinct(1, 40), kind(1, 3), rare(0, 999),
      exponent(-30, 30);
  std::uniform_real_distribution<float> unit(0.f, 1.f);
  for (int trial = 0; trial < 3000; ++trial) {
    std::vector<ParticleOffsetCandidate> records(trial % 50 == 0 ? 4000 : count(rng));
    const int values = distinct(rng);
    for (auto& r : records) {
      r.value = trial % 3 == 0 ? unit(rng) : float(rng() % values);
      if (trial % 4 == 1 && rare(rng) == 0) r.value = std::numeric_limits<float>::quiet_NaN();
      // Unit weights and weights that a sum of magnitude 1 absorbs: near the crossing the
      // decisions then depend on the order of the sums.
      r.weight = trial % 2 ? std::ldexp(unit(rng), exponent(rng))
                           : rng() % 3 ? 1.f : std::ldexp(1.f, -26);
      r.kind = kind(rng);
    }
    std::vector<ParticleOffsetCandidate> by_ranks(records);
    const float quick = weighted_median_by_ranks_quick(records.data(), int(records.size()));
    const float defined = weighted_median_by_ranks(by_ranks);
    ASSERT_EQ(std::memcmp(&quick, &defined, sizeof(float)), 0)
        << "trial " << trial << ": " << quick << " instead of " << defined;
  }
}

// At the partitions' depth limit the standard library turns to a heap selection, which the quick
// rank search does not reproduce; it then runs the rank search on a copy: the bits are the rank
// search's (the weights make them depend on the order of the sums) and the records stay put.
TEST(WeightedMedian, QuickRankSearchAtThePartitionDepthLimit) {
  for (int n : {64, 200, 1000}) {
    const std::vector<float> values = median_of_three_killer(n);
    std::mt19937 rng(n);
    for (int trial = 0; trial < 100; ++trial) {
      std::vector<ParticleOffsetCandidate> records(n);
      for (int i = 0; i < n; ++i)
        records[i] = {values[i], rng() % 3 ? 1.f : 0x1p-26f, 1 + static_cast<int>(rng() % 3)};
      const std::vector<ParticleOffsetCandidate> original(records);
      std::vector<ParticleOffsetCandidate> by_ranks(records);
      const float quick = weighted_median_by_ranks_quick(records.data(), n);
      const float defined = weighted_median_by_ranks(by_ranks);
      ASSERT_EQ(std::memcmp(&quick, &defined, sizeof(float)), 0)
          << n << " records, trial " << trial << ": " << quick << " instead of " << defined;
      ASSERT_EQ(std::memcmp(records.data(), original.data(), n * sizeof(records[0])), 0)
          << n << " records, trial " << trial << ": the records were moved";
    }
  }
}
