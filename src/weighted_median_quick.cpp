// The quick rank search: std::nth_element's steps as libstdc++ takes them, over (value, slope).
#include "weighted_median.h"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "weighted_median_search.h"

using namespace wm_detail;

namespace {

// std::nth_element as libstdc++ performs it (introselect: median of three moved to the front,
// Hoare's unguarded partition, insertion sort below four entries), on (value, slope) pairs. The
// permutation it leaves depends only on the comparisons of the values, so the rank search's sums
// run in the same order as over the records, and so come out with the same bits. Hoare's
// partition swaps the k-th entry from the left that is not below the pivot with the k-th entry
// from the right that is not above it, for as long as the first lies left of the second; here both
// kinds of entry are marked in bit masks first, so that the scans do not branch on every entry.
// False where the search would run into the depth limit (then libstdc++ turns to a heap
// selection, which is not reproduced; the caller runs std::nth_element itself).
class RankSelect {
 public:
  // Marks in the caller's buffers.
  RankSelect(std::vector<std::uint64_t>& ge, std::vector<std::uint64_t>& le) : ge_(ge), le_(le) {}
  bool select(SlopeEntry* a, int nth, int last) {
    int first = 0;
    for (int depth = 2 * (31 - __builtin_clz(static_cast<unsigned>(last))); last - first > 3;
         --depth) {
      if (depth == 0) return false;
      const int cut = partition_around_median(a, first, last);
      if (cut <= nth)
        first = cut;
      else
        last = cut;
    }
    insertion_sort(a, first, last);
    return true;
  }

 private:
  std::vector<std::uint64_t>& ge_;
  std::vector<std::uint64_t>& le_;

  static void move_median_to_first(SlopeEntry* a, int result, int x, int y, int z) {
    const float vx = a[x].value, vy = a[y].value, vz = a[z].value;
    int m;
    if (vx < vy)
      m = vy < vz ? y : (vx < vz ? z : x);
    else
      m = vx < vz ? x : (vy < vz ? z : y);
    std::swap(a[result], a[m]);
  }

  static void insertion_sort(SlopeEntry* a, int first, int last) {
    for (int i = first + 1; i < last; ++i) {
      const SlopeEntry v = a[i];
      if (v.value < a[first].value) {
        for (int j = i; j > first; --j) a[j] = a[j - 1];
        a[first] = v;
      } else {
        int j = i;
        for (; v.value < a[j - 1].value; --j) a[j] = a[j - 1];
        a[j] = v;
      }
    }
  }

  // Bit j of word w of ge_ (le_): entry begin + 64 w + j is not below (not above) the pivot.
  void mark(const SlopeEntry* a, int begin, int last, float pivot) {
    const int n = last - begin, words = (n + 63) / 64;
    if (static_cast<int>(ge_.size()) < words) {
      ge_.resize(words);
      le_.resize(words);
    }
    int k = 0;
#if defined(__SSE2__)
    const __m128 p = _mm_set1_ps(pivot);
    for (; k + 63 < n; k += 64) {
      std::uint64_t ge = 0, le = 0;
      for (int g = 0; g < 64; g += 4) {
        const __m128 lo = _mm_loadu_ps(&a[begin + k + g].value);
        const __m128 hi = _mm_loadu_ps(&a[begin + k + g + 2].value);
        const __m128 v = _mm_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0));
        ge |= static_cast<std::uint64_t>(_mm_movemask_ps(_mm_cmpnlt_ps(v, p))) << g;
        le |= static_cast<std::uint64_t>(_mm_movemask_ps(_mm_cmpnlt_ps(p, v))) << g;
      }
      ge_[k / 64] = ge;
      le_[k / 64] = le;
    }
#endif
    for (; k < n; k += 64) {
      std::uint64_t ge = 0, le = 0;
      for (int j = 0; j < 64 && k + j < n; ++j) {
        const float v = a[begin + k + j].value;
        ge |= static_cast<std::uint64_t>(!(v < pivot)) << j;
        le |= static_cast<std::uint64_t>(!(pivot < v)) << j;
      }
      ge_[k / 64] = ge;
      le_[k / 64] = le;
    }
  }

  // libstdc++'s __unguarded_partition_pivot; returns the cut.
  int partition_around_median(SlopeEntry* a, int first, int last) {
    move_median_to_first(a, first, first + 1, first + (last - first) / 2, last - 1);
    const float pivot = a[first].value;
    const int begin = first + 1;
    mark(a, begin, last, pivot);
    // Scans from the left find the entries marked in ge_, from the right those in le_; both only
    // read entries that no swap has touched, except where they stop at the entry the other side
    // swapped last (which holds a value not below, resp. not above, the pivot). The pivot itself
    // ends the first scan from the right.
    int left = first, right = last;  // the previous stops
    int up_word = -1, down_word = (last - begin + 63) / 64;
    std::uint64_t up_bits = 0, down_bits = 0;
    for (;;) {
      int l = right;  // where the scan from the left stops at the latest
      for (;;) {
        if (up_bits != 0) {
          const int at = begin + up_word * 64 + __builtin_ctzll(up_bits);
          if (at < right) {
            l = at;
            up_bits &= up_bits - 1;
          }
          break;
        }
        if (++up_word * 64 + begin >= right) break;
        up_bits = ge_[up_word];
      }
      int r = left;
      for (;;) {
        if (down_bits != 0) {
          const int at = begin + down_word * 64 + 63 - __builtin_clzll(down_bits);
          if (at > left) {
            r = at;
            down_bits &= ~(std::uint64_t{1} << (at - begin - down_word * 64));
          }
          break;
        }
        if (--down_word < 0 || down_word * 64 + 63 + begin <= left) break;
        down_bits = le_[down_word];
        // Bits past the range of the last word are never set: mark leaves them 0.
      }
      if (!(l < r)) return l;
      std::swap(a[l], a[r]);
      left = l;
      right = r;
    }
  }
};

// The rank search on a copy of the records, which stay as they are.
float weighted_median_by_ranks_of_copy(const ParticleOffsetCandidate* records, int m,
                                       std::vector<ParticleOffsetCandidate>& copy) {
  copy.assign(records, records + m);
  return weighted_median_by_ranks(copy.data(), m);
}

}  // namespace

float weighted_median_by_ranks_quick(ParticleOffsetCandidate* records, int m) {
  WeightedMedianScratch scratch;
  return weighted_median_by_ranks_quick(records, m, scratch);
}

float weighted_median_by_ranks_quick(ParticleOffsetCandidate* records, int m,
                                     WeightedMedianScratch& scratch) {
#if defined(__GLIBCXX__)
  if (m < 1) return weighted_median_by_ranks(records, m);
  std::vector<SlopeEntry>& entries = scratch.entries;
  RankSelect rank_select(scratch.ge, scratch.le);
  if (static_cast<int>(entries.size()) < m) entries.resize(m);
  SlopeEntry* const e = entries.data();
  for (int k = 0; k < m; ++k) e[k] = {records[k].value, slope_of(records[k])};
  const auto select = [&](int lo, int mid, int hi) {
    return rank_select.select(e + lo, mid - lo, hi - lo);
  };
  float median;
  if (bisect_ranks(
          m, single_precision_s(records, m), select, [&](int k) { return e[k].slope; },
          [&](int k) { return e[k].value; }, median))
    return median;
  // At the depth limit, which calls rarely reach.
#endif
  return weighted_median_by_ranks_of_copy(records, m, scratch.copy);
}
