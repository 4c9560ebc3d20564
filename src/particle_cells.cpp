#include "particle_cells.h"

namespace pf_detail {
SlotBuffers& slot_buffers() {
  thread_local SlotBuffers buffers;
  return buffers;
}
bool& wide_lanes() {
#ifdef PF_WIDE_LANES
  static bool wide = __builtin_cpu_supports("avx2");
#else
  static bool wide = false;
#endif
  return wide;
}
NeighbourScratch& neighbour_scratch() {
  thread_local NeighbourScratch scratch;
  return scratch;
}
const int* longest_cells_first(const std::vector<int>& cell_sizes, int m) {
  thread_local std::vector<int> order, first;
  const auto length = [&](int i) { return cell_sizes[i] - (i == 0 ? 0 : cell_sizes[i - 1]); };
  // A counting sort by length: one pass to count, one to place.
  int longest = 0;
  for (int i = 0; i < m; ++i) longest = std::max(longest, length(i));
  first.assign(static_cast<size_t>(longest) + 2, 0);
  for (int i = 0; i < m; ++i) ++first[longest - length(i) + 1];
  for (int l = 0; l <= longest; ++l) first[l + 1] += first[l];
  order.resize(m);
  for (int i = 0; i < m; ++i) order[first[longest - length(i)]++] = i;
  return order.data();
}
}  // namespace pf_detail
