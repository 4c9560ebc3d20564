// The weighted median that moves a point in the position update: the offset that minimises a sum
// of absolute and one-sided linear penalties.
#pragma once

#include <cstdint>
#include <vector>

// One candidate offset of the position update and its penalty: kind 3 weight * |t - value|,
// kind 1 weight * max(0, t - value), kind 2 weight * max(0, value - t).
struct ParticleOffsetCandidate {
  float value;
  float weight;
  int kind;
};

namespace wm_detail {
// A record as the searches read it: its value and the slope its penalty adds above the value.
struct SlopeEntry {
  float value, slope;
};
}  // namespace wm_detail

// The buffers the searches below work in. They grow to the largest count they meet and are kept
// from call to call by their owner, one per thread (a point pass keeps one in each thread's
// functor state); the calls without one make their own.
struct WeightedMedianScratch {
  std::vector<wm_detail::SlopeEntry> entries, other;
  std::vector<unsigned char> bucket;
  std::vector<double> first_level;            // the selection's first-level sums
  std::vector<std::uint64_t> ge, le;          // the quick rank search's marks
  std::vector<ParticleOffsetCandidate> copy;  // records for the rank search's fallback
};

// The offset minimising the sum of the candidates' penalties (the largest such value when
// several do). May reorder the records; needs at least one.
float weighted_median(std::vector<ParticleOffsetCandidate>& records);
// The same on the m records from `records` on.
float weighted_median(ParticleOffsetCandidate* records, int m);
float weighted_median(ParticleOffsetCandidate* records, int m, WeightedMedianScratch& scratch);

// The search that defines weighted_median's result bit for bit: bisection over ranks, each step
// putting one rank in place with std::nth_element and summing slopes in single precision.
// weighted_median takes a cheaper route where it can prove that it gives the same value.
float weighted_median_by_ranks(std::vector<ParticleOffsetCandidate>& records);
float weighted_median_by_ranks(ParticleOffsetCandidate* records, int m);

// The rank search with the same bits, cheaper: std::nth_element as libstdc++ performs it,
// reproduced over (value, slope) pairs. Leaves the records as they are: where it cannot reproduce
// the selection (at libstdc++'s partition depth limit, or with another standard library) it runs
// weighted_median_by_ranks on a copy.
float weighted_median_by_ranks_quick(ParticleOffsetCandidate* records, int m);
float weighted_median_by_ranks_quick(ParticleOffsetCandidate* records, int m,
                                     WeightedMedianScratch& scratch);

// weighted_median's cheaper route on its own: true with the median when it can prove that the
// rank search gives the same value, false otherwise. Leaves the records as they are.
bool weighted_median_by_selection(const ParticleOffsetCandidate* records, int m, float& median);
bool weighted_median_by_selection(const ParticleOffsetCandidate* records, int m, float& median,
                                  WeightedMedianScratch& scratch);
