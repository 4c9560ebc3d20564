#include "weighted_median.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>

float weighted_median_by_ranks(ParticleOffsetCandidate* records, int m) {
  // Slope of the penalty sum below every candidate.
  float S = 0.f;
  for (int k = 0; k < m; ++k)
    if (records[k].kind != 1) S -= records[k].weight;
  const auto by_value = [](const ParticleOffsetCandidate& a, const ParticleOffsetCandidate& b) {
    return a.value < b.value;
  };
  int lo = 0, hi = m, mid = m / 2;
  while (hi - lo > 1) {
    std::nth_element(records + lo, records + mid, records + hi, by_value);
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

float weighted_median_by_ranks(std::vector<ParticleOffsetCandidate>& records) {
  return weighted_median_by_ranks(records.data(), static_cast<int>(records.size()));
}

namespace {

// The same median found without reordering the records, when that provably gives the same
// value. With ranks ordered by value, F(k) = S + (slopes of the ranks below k) rises with k and
// the search above returns the value at the largest rank k with F(k) <= 0 (as it computes F).
// In exact arithmetic that value does not depend on how equal values are ordered; the search
// computes F in single precision, in an order that depends on the partial orderings, within
// the margin of rounding_margin of the exact F. So when F at the start of the median's group of
// equal values is below -margin and F at its end is above margin (or the group is the last),
// every decision of the search is the exact one and its answer is this group's value. That
// value is found here by a selection over (value, slope) pairs with sums in double precision;
// anything not covered by the argument (non-finite or negative weights, NaN values, a zero
// median when both signed zeros occur, a decision within the margin) returns false and the
// caller runs the search itself.
struct SlopeEntry {
  float value, slope;
};

// What the first pass over the records learns besides the entries.
struct RecordSums {
  double total = 0.0;           // sum of the weights
  double below = 0.0;           // F below every value: minus the weights of kinds 2 and 3
  double below_partials = 0.0;  // bound on the sum of |partial sums| of `below` in record order
  float largest_slope = 0.f;
  bool sound = true;            // weights finite and not negative, values not NaN
};

// v where keep holds, else +0, without a branch: the tests depend on data in no order, so a
// branch would often be mispredicted.
inline double kept(double v, bool keep) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  bits &= 0 - static_cast<std::uint64_t>(keep);
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

inline float median_of_three(float a, float b, float c) {
  if (a > b) std::swap(a, b);
  return b > c ? std::max(a, c) : b;
}

// One partition step: the entries entry(k) of [0, len) below the pivot go to the front of
// `other`, those above it to the back; the slopes below and at the pivot are summed in two
// chains each, so that the additions do not wait on one another.
struct Split {
  int less, greater;
  double slope_less, slope_equal;
};

template <class Entry>
Split partition(int len, float pivot, const Entry& entry, SlopeEntry* other) {
  int less = 0, greater = 0;
  double less_a = 0.0, less_b = 0.0, equal_a = 0.0, equal_b = 0.0;
  const auto place = [&](const SlopeEntry e, double& slope_below, double& slope_at) {
    const bool lt = e.value < pivot, gt = e.value > pivot;
    other[less] = e;
    other[len - 1 - greater] = e;
    less += lt;
    greater += gt;
    slope_below += kept(e.slope, lt);
    slope_at += kept(e.slope, !lt && !gt);
  };
  int k = 0;
  for (; k + 1 < len; k += 2) {
    place(entry(k, 0), less_a, equal_a);
    place(entry(k + 1, 1), less_b, equal_b);
  }
  if (k < len) place(entry(k, 0), less_a, equal_a);
  return {less, greater, less_a + less_b, equal_a + equal_b};
}

// The first step reads the records themselves and also takes their sums.
Split partition_records(const ParticleOffsetCandidate* records, int m, SlopeEntry* other,
                        RecordSums& sums) {
  double total[2] = {0.0, 0.0}, below[2] = {0.0, 0.0}, partials[2] = {0.0, 0.0};
  float largest[2] = {0.f, 0.f};
  bool sound = true;
  const auto from_records = [&](int k, int chain) {
    const ParticleOffsetCandidate& r = records[k];
    const float w = r.weight;
    sound &= (w >= 0.f) & (w <= FLT_MAX) & (r.value == r.value);
    const double counted = kept(w, r.kind != 1);
    total[chain] += w;
    below[chain] -= counted;
    // Record k's weight is part of every partial sum from its own on.
    partials[chain] += counted * static_cast<double>(m - k);
    const float slope = r.kind == 3 ? 2.f * w : w;
    largest[chain] = std::max(largest[chain], slope);
    return SlopeEntry{r.value, slope};
  };
  const float pivot =
      median_of_three(records[0].value, records[m / 2].value, records[m - 1].value);
  const Split split = partition(m, pivot, from_records, other);
  sums.total = total[0] + total[1];
  sums.below = below[0] + below[1];
  sums.below_partials = partials[0] + partials[1];
  sums.largest_slope = std::max(largest[0], largest[1]);
  sums.sound = sound;
  return split;
}

// How far F as the rank search computes it may lie from F as computed here. Each of its
// single-precision additions errs by at most u times the magnitude of its result (u = 2^-24),
// and the errors add up. S is summed in record order: its partial sums are bounded by
// below_partials. Every later sum that a decision rests on starts from S, adds slopes of at
// most m - 1 ranks and goes on only while it is not above 0, so its partial sums lie between S
// and the largest slope. The factor covers the computed partial sums' own rounding; the last
// term the double-precision sums of this selection.
double rounding_margin(const RecordSums& s, int m) {
  const double u = 5.9604644775390625e-08;
  const double partial_bound = std::max(-s.below, static_cast<double>(s.largest_slope));
  return u * (1.0 + 4.0 * m * u) * (s.below_partials + (m - 1) * partial_bound) +
         1e-15 * (m + 1) * s.total;
}

// The group of equal values in which F first rises above 0 (or the last group), with F at its
// start and end.
struct Crossing {
  float value;
  double f_start, f_end;
  bool last_group;  // the group ends at the last rank and F never rose above 0
};

// The crossing among a few entries: sorted, then walked group by group from F = base.
Crossing settle_few(SlopeEntry* cur, int len, double base, bool reaches_last_rank) {
  for (int i = 1; i < len; ++i) {
    const SlopeEntry e = cur[i];
    int j = i;
    for (; j > 0 && e.value < cur[j - 1].value; --j) cur[j] = cur[j - 1];
    cur[j] = e;
  }
  for (int i = 0;;) {
    double group = 0.0;
    int e = i;
    for (; e < len && cur[e].value == cur[i].value; ++e) group += cur[e].slope;
    if (base + group > 0.0 || e == len)
      return {cur[i].value, base, base + group,
              reaches_last_rank && e == len && !(base + group > 0.0)};
    base += group;
    i = e;
  }
}

// The rest of the quickselect after a partition step of the entries in `other` around `pivot`,
// from F = base below all of them; false after too many levels.
bool find_crossing(Split split, float pivot, SlopeEntry* cur, SlopeEntry* other, int len,
                   double base, Crossing& out) {
  // F at the end of the current range was computed above 0 unless the range reaches the last
  // rank. Only the group that ends at the last rank may skip the upper margin test: at the end
  // of any other range F was computed above 0 once, but a sum in another order may come out at
  // or below 0 when the exact F lies within rounding of 0.
  bool reaches_last_rank = true;
  const auto from_cur = [&](int k, int) { return cur[k]; };
  for (int level = 0;; ++level) {
    if (level > 0) {
      if (level > 64) return false;
      if (len <= 16) {
        out = settle_few(cur, len, base, reaches_last_rank);
        return true;
      }
      pivot = median_of_three(cur[0].value, cur[len / 2].value, cur[len - 1].value);
      split = partition(len, pivot, from_cur, other);
    }
    const double at_pivot = base + split.slope_less;
    const double after_pivot = at_pivot + split.slope_equal;
    if (at_pivot > 0.0) {
      std::swap(cur, other);
      len = split.less;
      reaches_last_rank = false;
    } else if (after_pivot > 0.0 || split.greater == 0) {
      out = {pivot, at_pivot, after_pivot,
             reaches_last_rank && split.greater == 0 && !(after_pivot > 0.0)};
      return true;
    } else {
      base = after_pivot;
      SlopeEntry* upper = other + (len - split.greater);
      other = cur;
      cur = upper;
      len = split.greater;
    }
  }
}

// A zero median is certain only when the zeros among the values all carry one sign.
bool zero_sign_certain(const ParticleOffsetCandidate* records, int m) {
  bool positive = false, negative = false;
  for (int k = 0; k < m; ++k)
    if (records[k].value == 0.f) (std::signbit(records[k].value) ? negative : positive) = true;
  return !(positive && negative);
}

}  // namespace

bool weighted_median_by_selection(const ParticleOffsetCandidate* records, int m, float& median) {
  // Beyond 2^20 records the margin's own rounding factor is no longer covered.
  if (m < 2 || m > (1 << 20)) return false;
  thread_local std::vector<SlopeEntry> buffer_a, buffer_b;
  if (static_cast<int>(buffer_a.size()) < m) {
    buffer_a.resize(m);
    buffer_b.resize(m);
  }
  RecordSums sums;
  const Split first = partition_records(records, m, buffer_b.data(), sums);
  if (!sums.sound || !(sums.total < 1e37)) return false;
  Crossing c;
  const float pivot =
      median_of_three(records[0].value, records[m / 2].value, records[m - 1].value);
  if (!find_crossing(first, pivot, buffer_a.data(), buffer_b.data(), m, sums.below, c))
    return false;
  const double margin = rounding_margin(sums, m);
  if (!(c.f_start < -margin) || !(c.last_group || c.f_end > margin)) return false;
  if (c.value == 0.f && !zero_sign_certain(records, m)) return false;
  median = c.value;
  return true;
}

float weighted_median(ParticleOffsetCandidate* records, int m) {
  float median;
  if (weighted_median_by_selection(records, m, median)) return median;
  return weighted_median_by_ranks(records, m);
}

float weighted_median(std::vector<ParticleOffsetCandidate>& records) {
  return weighted_median(records.data(), static_cast<int>(records.size()));
}
