#include "weighted_median.h"

#include <algorithm>

#include "weighted_median_search.h"

using namespace wm_detail;

float weighted_median_by_ranks(ParticleOffsetCandidate* records, int m) {
  const auto by_value = [](const ParticleOffsetCandidate& a, const ParticleOffsetCandidate& b) {
    return a.value < b.value;
  };
  float median = 0.f;
  bisect_ranks(
      m, single_precision_s(records, m),
      [&](int lo, int mid, int hi) {
        std::nth_element(records + lo, records + mid, records + hi, by_value);
        return true;
      },
      [&](int k) { return slope_of(records[k]); }, [&](int k) { return records[k].value; },
      median);
  return median;
}

float weighted_median_by_ranks(std::vector<ParticleOffsetCandidate>& records) {
  return weighted_median_by_ranks(records.data(), static_cast<int>(records.size()));
}

float weighted_median(ParticleOffsetCandidate* records, int m, WeightedMedianScratch& scratch) {
  float median;
  if (weighted_median_by_selection(records, m, median, scratch)) return median;
  return weighted_median_by_ranks_quick(records, m, scratch);
}

float weighted_median(ParticleOffsetCandidate* records, int m) {
  WeightedMedianScratch scratch;
  return weighted_median(records, m, scratch);
}

float weighted_median(std::vector<ParticleOffsetCandidate>& records) {
  return weighted_median(records.data(), static_cast<int>(records.size()));
}
