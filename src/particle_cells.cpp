#include "particle_cells.h"

namespace pf_detail {
SlotBuffers& slot_buffers() {
  thread_local SlotBuffers buffers;
  return buffers;
}
NeighbourScratch& neighbour_scratch() {
  thread_local NeighbourScratch scratch;
  return scratch;
}
}  // namespace pf_detail
