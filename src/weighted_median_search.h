// The steps that the rank search, its quick reproduction and the selection share.
#pragma once

#include "weighted_median.h"

namespace wm_detail {

// The bisection of the rank search over m entries, F below all of them being S: `select(lo,
// mid, hi)` puts rank mid of [lo, hi) in place as std::nth_element does (false: it cannot),
// `slope(k)` and `value(k)` read entry k. False where select fails.
template <class Select, class Slope, class Value>
bool bisect_ranks(int m, float S, Select&& select, Slope&& slope, Value&& value, float& median) {
  int lo = 0, hi = m, mid = m / 2;
  while (hi - lo > 1) {
    if (!select(lo, mid, hi)) return false;
    float s = S;
    for (int k = lo; k < mid && s <= 0.f; ++k) s += slope(k);
    if (s <= 0.f) {
      lo = mid;
      S = s;
    } else {
      hi = mid;
    }
    mid = lo + (hi - lo) / 2;
  }
  median = value(lo);
  return true;
}

// S, the slope of the penalty sum below every candidate, in single precision and record order,
// as the rank search forms it.
inline float single_precision_s(const ParticleOffsetCandidate* records, int m) {
  float s = 0.f;
  for (int k = 0; k < m; ++k)
    if (records[k].kind != 1) s -= records[k].weight;
  return s;
}

inline float slope_of(const ParticleOffsetCandidate& r) {
  return r.kind == 3 ? 2.f * r.weight : r.weight;
}

}  // namespace wm_detail
