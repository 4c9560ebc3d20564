// The weighted median's cheaper route: the rank search's value found by bucketing the values.
#include "weighted_median.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "weighted_median_search.h"

using namespace wm_detail;

// The same median found without reordering the records, when that provably gives the same value.
// With ranks ordered by value, F(k) = S + (slopes of the ranks below k) rises with k and the rank
// search (weighted_median_by_ranks) returns the value at the largest rank k with F(k) <= 0 (as it
// computes F). In exact arithmetic that value does not depend on how equal values are ordered; the
// search computes F in single precision, in an order that depends on the partial orderings, with a
// rounding error bounded below (coarse_margin for all its decisions at once, Replay decision by
// decision). When every decision it can take at a rank up to the start of a group of equal values
// finds F <= 0 and every one at a rank from the group's end on finds F > 0, its answer is this
// group's value. The group is found here by bucketing the values, with sums in double precision;
// anything not covered by the argument (non-finite or negative weights, NaN or infinite values, a
// zero median when both signed zeros occur, a decision within rounding of 0) returns false and the
// caller runs the search itself.

namespace {

// v where keep holds, else +0, without a branch: the tests depend on data in no order, so a
// branch would often be mispredicted.
inline double kept(double v, bool keep) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  bits &= 0 - static_cast<std::uint64_t>(keep);
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

constexpr int kBuckets = 256;  // at most: a bucket number fits a byte
constexpr int kLevels = 6;  // bucketings before the rest is sorted

// Buckets of equal width over [low, high]. The map from value to bucket is monotone (every step
// rounds monotonically), so equal values share a bucket and buckets follow the value order.
struct Buckets {
  double low = 0.0, scale = 0.0;
  int count = 1;
  Buckets() = default;
  Buckets(float lo, float hi, int n)
      : low(lo), scale((n - 0.5) / (static_cast<double>(hi) - static_cast<double>(lo))), count(n) {}
  int operator()(float v) const {
    return std::min(static_cast<int>((static_cast<double>(v) - low) * scale), count - 1);
  }
};

// Fewer buckets for fewer entries: clearing and walking them costs as much as an entry.
int bucket_count(int len) { return std::min(kBuckets, std::max(16, len / 4)); }

// The slopes per bucket of find_crossing's first level (in four quarters), kept for the second
// test; buckets is 0 where that level did not bucket.
struct FirstLevel {
  double (*sums)[kBuckets];  // four rows, in the caller's scratch
  int buckets = 0;
};

// A group of equal values, at ranks [start, end), with F at both ends.
struct Crossing {
  float value;
  double f_start, f_end;
  int start, end;
};

// Room in the scratch for m records: entries, the other half of each level's split, and the
// buckets (the first level's, then the later levels'); the first level's sums.
void reserve(WeightedMedianScratch& scratch, int m) {
  if (static_cast<int>(scratch.entries.size()) < m) scratch.entries.resize(m);
  if (static_cast<int>(scratch.other.size()) < m) scratch.other.resize(m);
  const std::size_t buckets = 2 * static_cast<std::size_t>(m);
  if (scratch.bucket.size() < buckets) scratch.bucket.resize(buckets);
  if (scratch.first_level.size() < 4 * static_cast<size_t>(kBuckets))
    scratch.first_level.resize(4 * static_cast<size_t>(kBuckets));
}

// The group of cur[0, len), which all hold `value`, ranking from `rank` on, F = base below it.
Crossing single_value_group(const SlopeEntry* cur, int len, float value, double base, int rank) {
  double group[2] = {0.0, 0.0};
  int k = 0;
  for (; k + 1 < len; k += 2) {
    group[0] += cur[k].slope;
    group[1] += cur[k + 1].slope;
  }
  if (k < len) group[0] += cur[k].slope;
  return {value, base, base + (group[0] + group[1]), rank, rank + len};
}

// find_crossing's answer by sorting cur[0, len) and walking its groups.
Crossing crossing_by_sorting(SlopeEntry* cur, int len, double base, int rank) {
  if (len <= 32) {
    for (int i = 1; i < len; ++i) {
      const SlopeEntry e = cur[i];
      int j = i;
      for (; j > 0 && e.value < cur[j - 1].value; --j) cur[j] = cur[j - 1];
      cur[j] = e;
    }
  } else {
    std::sort(cur, cur + len, [](SlopeEntry a, SlopeEntry b) { return a.value < b.value; });
  }
  for (int i = 0;;) {
    double group = 0.0;
    int e = i;
    for (; e < len && cur[e].value == cur[i].value; ++e) group += cur[e].slope;
    if (base + group > 0.0 || e == len)
      return {cur[i].value, base, base + group, rank + i, rank + e};
    base += group;
    i = e;
  }
}

// Copies the entries of cur[0, len) whose bucket is `chosen` into `other`, in order, and counts
// those in lower buckets into `below`; returns how many were copied.
int keep_bucket(const SlopeEntry* cur, const unsigned char* bucket, int len, int chosen,
                SlopeEntry* other, int& below) {
  int kept_count = 0, k = 0;
#if defined(__SSE2__)
  // Sixteen buckets at a time: few entries fall into the chosen one, so most groups of sixteen
  // are only counted.
  const __m128i wanted = _mm_set1_epi8(static_cast<char>(chosen)), one = _mm_set1_epi8(1);
  // The count below in two 64-bit lanes of byte sums (x86-64 has no popcount instruction for
  // every machine; the library call costs more than this).
  __m128i below_sums = _mm_setzero_si128();
  for (; k + 15 < len; k += 16) {
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bucket + k));
    const __m128i at = _mm_cmpeq_epi8(b, wanted);
    // b <= chosen exactly where max(b, chosen) == chosen.
    const __m128i up_to = _mm_cmpeq_epi8(_mm_max_epu8(b, wanted), wanted);
    below_sums = _mm_add_epi64(
        below_sums, _mm_sad_epu8(_mm_and_si128(_mm_andnot_si128(at, up_to), one),
                                 _mm_setzero_si128()));
    for (unsigned mask = _mm_movemask_epi8(at); mask != 0; mask &= mask - 1)
      other[kept_count++] = cur[k + __builtin_ctz(mask)];
  }
  below += _mm_cvtsi128_si32(below_sums) + _mm_cvtsi128_si32(_mm_srli_si128(below_sums, 8));
#endif
  for (; k < len; ++k) {
    other[kept_count] = cur[k];
    kept_count += bucket[k] == chosen;
    below += bucket[k] < chosen;
  }
  return kept_count;
}

// The group in which F first rises above 0 (or the last group) among cur[0, len), whose values
// lie in [low, high] and rank from `rank` on, with F = base below all of them.
Crossing find_crossing(SlopeEntry* cur, SlopeEntry* other, unsigned char* bucket, int len,
                       float low, float high, double base, int rank, int level,
                       FirstLevel& first) {
  if (low == high) return single_value_group(cur, len, low, base, rank);
  if (len <= 32 || level == kLevels) return crossing_by_sorting(cur, len, base, rank);
  // Slopes per bucket, in four quarters so that repeated buckets do not wait on one another.
  const Buckets to_bucket(low, high, bucket_count(len));
  double later[4][kBuckets];
  double(*sums)[kBuckets] = level == 0 ? first.sums : later;
  for (int q = 0; q < 4; ++q) std::fill(sums[q], sums[q] + to_bucket.count, 0.0);
  if (level == 0) first.buckets = to_bucket.count;
  for (int k = 0; k < len; ++k) {
    const int b = to_bucket(cur[k].value);
    bucket[k] = static_cast<unsigned char>(b);
    sums[k & 3][b] += cur[k].slope;
  }
  const int last = to_bucket(high);
  int chosen = 0;
  for (;; ++chosen) {
    const double slope =
        (sums[0][chosen] + sums[1][chosen]) + (sums[2][chosen] + sums[3][chosen]);
    if (chosen == last || base + slope > 0.0) break;
    base += slope;
  }
  int below = 0;
  const int kept_count = keep_bucket(cur, bucket, len, chosen, other, below);
  float kept_low = other[0].value, kept_high = kept_low;
  for (int i = 1; i < kept_count; ++i) {
    kept_low = std::min(kept_low, other[i].value);
    kept_high = std::max(kept_high, other[i].value);
  }
  // The first level's buckets stay for the second test.
  return find_crossing(other, cur, level == 0 ? bucket + len : bucket, kept_count, kept_low,
                       kept_high, base, rank + below, level + 1, first);
}

// The largest rank at which the rank search may decide, given that it decides exactly at ranks
// up to `start` and from `end` on; -1 when the group is too large to follow its branches.
int largest_decision_rank(int lo, int hi, int start, int end) {
  int largest = 0;
  while (hi - lo > 1) {
    const int mid = lo + (hi - lo) / 2;
    largest = std::max(largest, mid);
    if (mid <= start) {
      lo = mid;
    } else if (mid >= end) {
      hi = mid;
    } else {
      // Within the group either decision may be taken: follow both.
      if (end - start > 64) return -1;
      largest = std::max(largest, largest_decision_rank(mid, hi, start, end));
      hi = mid;
    }
  }
  return largest;
}

// A bound on the error of the double-precision sums behind S and F here: each is a sum of at
// most (kLevels + 3) m + 4 kBuckets (kLevels + 2) terms whose partial sums are at most twice the
// total weight, and each addition errs by at most 2^-53 of its result.
double double_error(double total, int m) {
  return 0x1p-51 * total * ((kLevels + 3.0) * m + 4.0 * kBuckets * (kLevels + 2));
}

// The largest rounding error of a single-precision addition whose result is at most b in size:
// half the spacing of floats in b's binade (results below it are spaced finer; sums of
// subnormals are exact).
double addition_error(double b) { return b > 0.0 ? std::ldexp(1.0, std::ilogb(b) - 24) : 0.0; }

// A first test that covers every decision at once. The rank search starts from S_f, the
// single-precision sum of the terms of S in record order, and a decision at rank r adds the
// slopes of the r ranks below, one at a time in some order. Slopes are not negative and it stops
// once the sum is above 0, so every partial sum lies between S_f and the largest slope, which
// bounds each addition's error. S_f itself is a sum of at most m terms of one sign, so its
// partial sums lie within a factor 1 + gamma_m of the exact ones (m u < 1/16, u = 2^-24), and
// each of its additions errs by at most u / (1 - u) times its result: in all by at most that
// times the sum of the partial sums, which is that of each weight counted in S times the number
// of partial sums that hold it (s_partials, a bound but for a relative 2^-30 of its own
// rounding). `total` is a bound on the total weight, `rank` the largest rank the search decides
// at.
double coarse_margin(double s, double s_partials, double total, float largest_slope, int m,
                     int rank) {
  const double u = 0x1p-24, gamma = m * u / (1.0 - m * u);
  const double s_bound = (1.0 + gamma) * (-s + double_error(total, m));
  const double s_error = std::min(u / (1.0 - u) * (1.0 + gamma) * (1.0 + 0x1p-30) * s_partials,
                                  m * addition_error(s_bound));
  return s_error +
         rank * addition_error(std::max(s_bound, static_cast<double>(largest_slope))) +
         double_error(total, m);
}

// The second test, where the first does not settle it: the rank search's decisions followed one
// by one. Its running sum at rank lo is within `err` of F(lo), and a decision at mid adds the
// mid - lo slopes between, each partial sum lying between the running sum and the largest
// slope, so its sum at mid is within err + (mid - lo) addition_error(max(|running sum|, largest
// slope)) of F(mid). F at a rank is bounded by F at the ends of the first level's bucket that
// holds the rank and by F at the ends of the median's group. Where both decisions are possible
// both are followed; every way must end in the group.
class Replay {
 public:
  Replay(const ParticleOffsetCandidate* records, int m, const FirstLevel& first,
         const unsigned char* bucket, double s, double total, float largest, const Crossing& c)
      : c_(c), largest_(largest), slack_(double_error(total, m)), m_(m) {
    buckets_ = std::max(first.buckets, 1);
    int counts[4][kBuckets] = {};
    if (first.buckets > 0) {
      for (int k = 0; k < m; ++k) ++counts[k & 3][bucket[k]];
    } else {
      counts[0][0] = m;
    }
    starts_[0] = 0;
    f_[0] = s;
    for (int b = 0; b < buckets_; ++b) {
      starts_[b + 1] = starts_[b] + (counts[0][b] + counts[1][b]) + (counts[2][b] + counts[3][b]);
      f_[b + 1] = first.buckets > 0 ? f_[b] + ((first.sums[0][b] + first.sums[1][b]) +
                                               (first.sums[2][b] + first.sums[3][b]))
                                    : HUGE_VAL;
    }
    const float s_single = single_precision_s(records, m);
    err_ = std::fabs(static_cast<double>(s_single) - s) + slack_;
    sum_bound_ = -static_cast<double>(s_single);
  }

  bool ends_in_group() const {
    int budget = 4096;
    return follow(0, m_, err_, sum_bound_, budget);
  }

 private:
  // F(r) within [low, high].
  void bounds(int r, double& low, double& high) const {
    const int b =
        static_cast<int>(std::upper_bound(starts_, starts_ + buckets_ + 1, r) - starts_) - 1;
    low = f_[b];
    high = f_[std::min(b + 1, buckets_)];
    if (r >= c_.start) low = std::max(low, c_.f_start);
    if (r >= c_.end) low = std::max(low, c_.f_end);
    if (r <= c_.start) high = std::min(high, c_.f_start);
    if (r <= c_.end) high = std::min(high, c_.f_end);
    low -= slack_;
    high += slack_;
  }

  // From [lo, hi) with the running sum within err of F(lo) and at most sum_bound in size.
  bool follow(int lo, int hi, double err, double sum_bound, int& budget) const {
    while (hi - lo > 1) {
      if (--budget < 0) return false;
      const int mid = lo + (hi - lo) / 2;
      const double e =
          err + (mid - lo) * addition_error(std::max(sum_bound, static_cast<double>(largest_)));
      double low, high;
      bounds(mid, low, high);
      // Taken: the sum came out <= 0 (lo moves up); refused: it rose above 0.
      const bool may_take = low <= e, may_refuse = high >= -e;
      if (may_take && may_refuse && !follow(mid, hi, e, e - low, budget)) return false;
      if (may_take && !may_refuse) {
        lo = mid;
        err = e;
        sum_bound = e - low;
      } else {
        hi = mid;
      }
    }
    return lo >= c_.start && lo < c_.end;
  }

  Crossing c_;
  float largest_;
  double slack_, err_ = 0.0, sum_bound_ = 0.0;
  int m_, buckets_ = 1;
  int starts_[kBuckets + 1];
  double f_[kBuckets + 1];
};

// The sums and checks of weighted_median_by_selection's pass over the records, kept in two
// chains (even and odd records) so that the additions do not wait on one another.
struct Chain {
  double total = 0.0, below = 0.0, partials = 0.0;
  float largest = 0.f, low, high;
  bool sound = true, positive_zero = false, negative_zero = false;
  // Record k of m: its sums and its entry.
  void take(const ParticleOffsetCandidate& r, int k, int m, SlopeEntry& entry) {
    const float w = r.weight, v = r.value;
    sound &= (w >= 0.f) & (w <= FLT_MAX) & (v - v == 0.f);
    positive_zero |= (v == 0.f) & !std::signbit(v);
    negative_zero |= (v == 0.f) & std::signbit(v);
    total += w;
    const double counted = kept(w, r.kind != 1);
    below -= counted;
    // Record k's weight is in S_f's partial sums from its own on.
    partials += counted * static_cast<double>(m - k);
    const float slope = r.kind == 3 ? 2.f * w : w;
    largest = std::max(largest, slope);
    low = std::min(low, v);
    high = std::max(high, v);
    entry = {v, slope};
  }
};

#if defined(__SSE2__)
// Chain::take for records [0, k) four at a time (three loads of four lanes, turned into lanes
// of values, weights and kinds), into c, which it sets; returns k, the last multiple of four up
// to m. The sums go on in double precision, two lanes in each of two registers.
int take_fours(const ParticleOffsetCandidate* records, int m, SlopeEntry* entries, Chain& c) {
  static_assert(sizeof(ParticleOffsetCandidate) == 12, "records of three 4-byte fields");
  int k = 0;
  // The total and S_f's partial sums serve only as upper bounds: single precision will do.
  __m128d below_lo = _mm_setzero_pd(), below_hi = below_lo;
  __m128 total = _mm_setzero_ps(), partials = total;
  __m128 holding = _mm_set_ps(m - 3, m - 2, m - 1, m);
  const __m128 four = _mm_set1_ps(4.f);
  __m128 largest = _mm_setzero_ps(), low = _mm_set1_ps(records[0].value), high = low;
  __m128 sound = _mm_castsi128_ps(_mm_set1_epi32(-1)), zero_plus = _mm_setzero_ps(),
         zero_minus = zero_plus;
  const __m128 max_weight = _mm_set1_ps(FLT_MAX), zero = _mm_setzero_ps();
  const __m128i one = _mm_set1_epi32(1), three = _mm_set1_epi32(3),
                sign = _mm_set1_epi32(INT32_MIN);
  for (; k + 3 < m; k += 4) {
    const float* f = &records[k].value;
    const __m128 a = _mm_loadu_ps(f), b = _mm_loadu_ps(f + 4), c = _mm_loadu_ps(f + 8);
    // a = v0 w0 k0 v1, b = w1 k1 v2 w2, c = k2 v3 w3 k3
    const __m128 v = _mm_shuffle_ps(a, _mm_shuffle_ps(b, c, _MM_SHUFFLE(1, 1, 2, 2)),
                                    _MM_SHUFFLE(2, 0, 3, 0));
    const __m128 w = _mm_shuffle_ps(_mm_shuffle_ps(a, b, _MM_SHUFFLE(0, 0, 1, 1)),
                                    _mm_shuffle_ps(b, c, _MM_SHUFFLE(2, 2, 3, 3)),
                                    _MM_SHUFFLE(2, 0, 2, 0));
    const __m128i kind = _mm_castps_si128(
        _mm_shuffle_ps(_mm_shuffle_ps(a, b, _MM_SHUFFLE(1, 1, 2, 2)),
                       _mm_shuffle_ps(c, c, _MM_SHUFFLE(3, 3, 0, 0)), _MM_SHUFFLE(2, 0, 2, 0)));
    sound = _mm_and_ps(sound, _mm_and_ps(_mm_and_ps(_mm_cmpge_ps(w, zero),
                                                    _mm_cmple_ps(w, max_weight)),
                                         _mm_cmpeq_ps(_mm_sub_ps(v, v), zero)));
    const __m128i bits = _mm_castps_si128(v);
    zero_plus =
        _mm_or_ps(zero_plus, _mm_castsi128_ps(_mm_cmpeq_epi32(bits, _mm_setzero_si128())));
    zero_minus = _mm_or_ps(zero_minus, _mm_castsi128_ps(_mm_cmpeq_epi32(bits, sign)));
    const __m128 counted = _mm_andnot_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(kind, one)), w);
    total = _mm_add_ps(total, w);
    below_lo = _mm_sub_pd(below_lo, _mm_cvtps_pd(counted));
    below_hi = _mm_sub_pd(below_hi, _mm_cvtps_pd(_mm_movehl_ps(counted, counted)));
    partials = _mm_add_ps(partials, _mm_mul_ps(counted, holding));
    holding = _mm_sub_ps(holding, four);
    // 2 w as w + w: both exact alike.
    const __m128 slope =
        _mm_add_ps(w, _mm_and_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(kind, three)), w));
    largest = _mm_max_ps(largest, slope);
    low = _mm_min_ps(low, v);
    high = _mm_max_ps(high, v);
    _mm_storeu_ps(&entries[k].value, _mm_unpacklo_ps(v, slope));
    _mm_storeu_ps(&entries[k + 2].value, _mm_unpackhi_ps(v, slope));
  }
  // Within a factor 1 + gamma_m < 1.07 of the exact sums (m u < 1/16): 1.125 bounds them.
  alignas(16) float lanes[4];
  _mm_store_ps(lanes, total);
  c.total = 1.125 * (static_cast<double>(lanes[0]) + lanes[1] + lanes[2] + lanes[3]);
  _mm_store_ps(lanes, partials);
  c.partials = 1.125 * (static_cast<double>(lanes[0]) + lanes[1] + lanes[2] + lanes[3]);
  alignas(16) double d[2];
  _mm_store_pd(d, _mm_add_pd(below_lo, below_hi));
  c.below = d[0] + d[1];
  _mm_store_ps(lanes, largest);
  c.largest = std::max(std::max(lanes[0], lanes[1]), std::max(lanes[2], lanes[3]));
  _mm_store_ps(lanes, low);
  c.low = std::min(std::min(lanes[0], lanes[1]), std::min(lanes[2], lanes[3]));
  _mm_store_ps(lanes, high);
  c.high = std::max(std::max(lanes[0], lanes[1]), std::max(lanes[2], lanes[3]));
  c.sound = _mm_movemask_ps(sound) == 0xf;
  c.positive_zero = _mm_movemask_ps(zero_plus) != 0;
  c.negative_zero = _mm_movemask_ps(zero_minus) != 0;
  return k;
}
#endif

}  // namespace

bool weighted_median_by_selection(const ParticleOffsetCandidate* records, int m, float& median) {
  WeightedMedianScratch scratch;
  return weighted_median_by_selection(records, m, median, scratch);
}

bool weighted_median_by_selection(const ParticleOffsetCandidate* records, int m, float& median,
                                  WeightedMedianScratch& scratch) {
  // Beyond 2^20 records the margin's bound for S_f is no longer covered.
  if (m < 2 || m > (1 << 20)) return false;
  reserve(scratch, m);
  SlopeEntry* entries = scratch.entries.data();
  // One pass over the records: their entries, sums and the range of the values.
  Chain even, odd;
  even.low = even.high = odd.low = odd.high = records[0].value;
  int k = 0;
#if defined(__SSE2__)
  if (m >= 4) k = take_fours(records, m, entries, even);
#endif
  for (; k + 1 < m; k += 2) {
    even.take(records[k], k, m, entries[k]);
    odd.take(records[k + 1], k + 1, m, entries[k + 1]);
  }
  if (k < m) even.take(records[k], k, m, entries[k]);
  // sum bounds the total weight; s is S.
  const double sum = even.total + odd.total, s = even.below + odd.below;
  const bool sound = even.sound & odd.sound;
  const bool positive_zero = even.positive_zero | odd.positive_zero;
  const bool negative_zero = even.negative_zero | odd.negative_zero;
  const float largest = std::max(even.largest, odd.largest);
  const float low = std::min(even.low, odd.low), high = std::max(even.high, odd.high);
  if (!sound || !(sum < 1e37)) return false;
  FirstLevel first;
  first.sums = reinterpret_cast<double(*)[kBuckets]>(scratch.first_level.data());
  const Crossing c = find_crossing(entries, scratch.other.data(), scratch.bucket.data(), m, low,
                                   high, s, 0, 0, first);
  // A zero median is certain only when the zeros among the values all carry one sign.
  if (c.value == 0.f && positive_zero && negative_zero) return false;
  const int rank = c.end == m ? c.start : largest_decision_rank(0, m, c.start, c.end);
  const double margin =
      coarse_margin(s, even.partials + odd.partials, sum, largest, m, rank < 0 ? m - 1 : rank);
  if (!(c.f_start < -margin && (c.end == m || c.f_end > margin)) &&
      !Replay(records, m, first, scratch.bucket.data(), s, sum, largest, c)
           .ends_in_group())
    return false;
  median = c.value;
  return true;
}
