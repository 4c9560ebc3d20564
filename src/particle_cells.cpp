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
}  // namespace pf_detail
