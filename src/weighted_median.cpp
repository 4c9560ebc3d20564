#include "weighted_median.h"

#include <algorithm>
#include <cfloat>
#include <cmath>

float weighted_median_by_ranks(std::vector<ParticleOffsetCandidate>& records) {
  const int m = static_cast<int>(records.size());
  // Slope of the penalty sum below every candidate.
  float S = 0.f;
  for (const ParticleOffsetCandidate& r : records)
    if (r.kind != 1) S -= r.weight;
  const auto by_value = [](const ParticleOffsetCandidate& a, const ParticleOffsetCandidate& b) {
    return a.value < b.value;
  };
  int lo = 0, hi = m, mid = m / 2;
  while (hi - lo > 1) {
    std::nth_element(records.begin() + lo, records.begin() + mid, records.begin() + hi,
                     by_value);
    float s = S;
    for (int k = lo; k < mid && s <= 0.f; ++k)
      s += records[k].kind == 3 ? 2.f * records[k].weight : records[k].weight;
    if (s <= 0.f) {
      lo = mid;
      S = s;
    } else {
      hi = mid;
    }
    mid = lo + (hi - lo) / 2;
  }
  return records[lo].value;
}

namespace {

// The same median found without reordering the records, when that provably gives the same
// value. With ranks ordered by value, F(k) = S + (slopes of the ranks below k) rises with k and
// the search above returns the value at the largest rank k with F(k) <= 0 (as it computes F).
// In exact arithmetic that value does not depend on how equal values are ordered; the search
// computes F in single precision, in an order that depends on the partial orderings, within
// `margin` of the exact F. So when F at the start of the median's group of equal values is
// below -margin and F at its end is above margin (or the group is the last), every decision of
// the search is the exact one and its answer is this group's value. That value is found here by
// a selection over (value, slope) pairs with sums in double precision; anything not covered by
// the argument (non-finite or negative weights, NaN values, a zero median when both signed zeros
// occur, a decision within the margin) returns false and the caller runs the search itself.
struct SlopeEntry {
  float value, slope;
};

inline float median_of_three(float a, float b, float c) {
  if (a > b) std::swap(a, b);
  return b > c ? std::max(a, c) : b;
}

bool weighted_median_by_selection(const std::vector<ParticleOffsetCandidate>& records,
                                  float& median) {
  const int m = static_cast<int>(records.size());
  if (m < 2) return false;
  thread_local std::vector<SlopeEntry> buffer_a, buffer_b;
  if (static_cast<int>(buffer_a.size()) < m) {
    buffer_a.resize(m);
    buffer_b.resize(m);
  }
  SlopeEntry* cur = buffer_a.data();
  SlopeEntry* other = buffer_b.data();

  // One partition step: the entries of [0, len) below the pivot go to the front of `other`,
  // those above it to the back; the slopes below and at the pivot are summed in two chains
  // each, so that the additions do not wait on one another.
  int less = 0, greater = 0;
  double slope_less = 0.0, slope_equal = 0.0;
  const auto partition = [&](int len, float pivot, const auto& entry) {
    less = greater = 0;
    double less_a = 0.0, less_b = 0.0, equal_a = 0.0, equal_b = 0.0;
    const auto place = [&](const SlopeEntry e, double& slope_below, double& slope_at) {
      const bool lt = e.value < pivot, gt = e.value > pivot;
      other[less] = e;
      other[len - 1 - greater] = e;
      less += lt;
      greater += gt;
      slope_below += lt ? static_cast<double>(e.slope) : 0.0;
      slope_at += !lt && !gt ? static_cast<double>(e.slope) : 0.0;
    };
    int k = 0;
    for (; k + 1 < len; k += 2) {
      place(entry(k, 0), less_a, equal_a);
      place(entry(k + 1, 1), less_b, equal_b);
    }
    if (k < len) place(entry(k, 0), less_a, equal_a);
    slope_less = less_a + less_b;
    slope_equal = equal_a + equal_b;
  };

  // The first step reads the records themselves and also sums their weights.
  double total_ab[2] = {0.0, 0.0}, below_ab[2] = {0.0, 0.0};
  bool sound = true;
  const auto from_records = [&](int k, int chain) {
    const ParticleOffsetCandidate& r = records[k];
    const float w = r.weight;
    sound &= (w >= 0.f) & (w <= FLT_MAX) & (r.value == r.value);
    total_ab[chain] += w;
    below_ab[chain] -= r.kind != 1 ? static_cast<double>(w) : 0.0;
    return SlopeEntry{r.value, r.kind == 3 ? 2.f * w : w};
  };
  const auto from_cur = [&](int k, int) { return cur[k]; };
  int len = m;
  partition(len, median_of_three(records[0].value, records[m / 2].value, records[m - 1].value),
            from_records);
  const double total = total_ab[0] + total_ab[1];
  if (!sound || !(total < 1e37)) return false;
  const double margin = 4e-7 * (m + 1) * total;

  // base = F at the start of the current range; F at its end was computed above 0 unless the
  // range reaches the last rank. Only the group that ends at the last rank may skip the upper
  // margin test: at the end of any other range F was computed above 0 once, but a sum in another
  // order may come out at or below 0 when the exact F lies within rounding of 0.
  double base = below_ab[0] + below_ab[1];
  bool reaches_last_rank = true;
  float pivot = 0.f;
  float found = 0.f;
  double f_start = 0.0, f_end = 0.0;
  bool last_group = false;
  for (int level = 0;; ++level) {
    if (level > 0) {
      if (level > 64) return false;
      if (len <= 16) {
        for (int i = 1; i < len; ++i) {
          const SlopeEntry e = cur[i];
          int j = i;
          for (; j > 0 && e.value < cur[j - 1].value; --j) cur[j] = cur[j - 1];
          cur[j] = e;
        }
        int i = 0;
        while (true) {
          double group = 0.0;
          int e = i;
          for (; e < len && cur[e].value == cur[i].value; ++e) group += cur[e].slope;
          if (base + group > 0.0 || e == len) {
            found = cur[i].value;
            f_start = base;
            f_end = base + group;
            last_group = reaches_last_rank && e == len && !(f_end > 0.0);
            break;
          }
          base += group;
          i = e;
        }
        break;
      }
      pivot = median_of_three(cur[0].value, cur[len / 2].value, cur[len - 1].value);
      partition(len, pivot, from_cur);
    } else {
      pivot = median_of_three(records[0].value, records[m / 2].value, records[m - 1].value);
    }
    const double at_pivot = base + slope_less;
    const double after_pivot = at_pivot + slope_equal;
    if (at_pivot > 0.0) {
      std::swap(cur, other);
      len = less;
      reaches_last_rank = false;
    } else if (after_pivot > 0.0 || greater == 0) {
      found = pivot;
      f_start = at_pivot;
      f_end = after_pivot;
      last_group = reaches_last_rank && greater == 0 && !(after_pivot > 0.0);
      break;
    } else {
      base = after_pivot;
      SlopeEntry* upper = other + (len - greater);
      other = cur;
      cur = upper;
      len = greater;
    }
  }
  if (!(f_start < -margin) || !(last_group || f_end > margin)) return false;
  if (found == 0.f) {
    bool positive = false, negative = false;
    for (const ParticleOffsetCandidate& r : records)
      if (r.value == 0.f) (std::signbit(r.value) ? negative : positive) = true;
    if (positive && negative) return false;
  }
  median = found;
  return true;
}

}  // namespace

float weighted_median(std::vector<ParticleOffsetCandidate>& records) {
  float median;
  if (weighted_median_by_selection(records, median)) return median;
  return weighted_median_by_ranks(records);
}
