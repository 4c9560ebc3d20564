#include "particle_cells.h"

#include <cstdlib>
#include <iostream>
#include <string>

#include "printable.h"

namespace pf_detail {
namespace {
// Made before main, so that taking them in a run registers nothing (a registration that cannot
// take memory ends the process).
SlotBuffers the_slot_buffers;
}  // namespace
SlotBuffers& slot_buffers() { return the_slot_buffers; }
bool lane_route_runs(int lanes) {
  if (lanes == 4) return true;
#ifdef PF_WIDE_LANES
  if (lanes == 8) return __builtin_cpu_supports("avx2");
  if (lanes == 16)
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
           __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw");
#endif
  return false;
}
int choose_lane_route(const char* asked, bool (*runs)(int), std::ostream& warnings) {
  int cap = 16;
  if (asked) {
    const std::string value(asked);
    if (value == "4" || value == "8" || value == "16") {
      cap = std::stoi(value);
    } else {
      // Shown as messages show words: escaped, so that it cannot act on the terminal, and cut.
      warnings << "TESSIVAR_LANES=" << printable_word(value) << " is not one of 4, 8, 16; ignored"
               << std::endl;
    }
  }
  for (int lanes : {16, 8})
    if (lanes <= cap && runs(lanes)) return lanes;
  return 4;
}
int& lane_route() {
  static int route = choose_lane_route(std::getenv("TESSIVAR_LANES"), lane_route_runs, std::cerr);
  return route;
}
void longest_cells_first(const std::vector<int>& cell_sizes, int m, std::vector<int>& order) {
  std::vector<int> first;
  const auto length = [&](int i) { return cell_sizes[i] - (i == 0 ? 0 : cell_sizes[i - 1]); };
  // A counting sort by length: one pass to count, one to place.
  int longest = 0;
  for (int i = 0; i < m; ++i) longest = std::max(longest, length(i));
  first.assign(static_cast<size_t>(longest) + 2, 0);
  for (int i = 0; i < m; ++i) ++first[longest - length(i) + 1];
  for (int l = 0; l <= longest; ++l) first[l + 1] += first[l];
  order.resize(m);
  for (int i = 0; i < m; ++i) order[first[longest - length(i)]++] = i;
}
}  // namespace pf_detail
