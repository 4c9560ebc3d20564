// Semi-global matching: one label per pixel from a matching-cost volume, by aggregating path
// costs with smoothness penalties along 4, 8, 16 or 32 directions.
#pragma once

#include "yv/tools/array.h"

// labels: device image W x H, receives the label of least aggregated cost per pixel, refined to
// a fraction of a label. costs: device volume (W, H, n), x column, y row, z label; only read.
// P1 penalises a label change of one between neighbours on a path, P2 (or, when P2map's
// pointer is not null, the W x H device map) any larger change. numPaths <= 7 aggregates the 4
// axis directions, 8 to 15 adds the diagonals (8), 16 to 31 gives 16 and 32 or more 32
// directions. singleStream false splits the directions over two streams with a sum each.
// With debug_depthmap set it writes <output_directory>/debug/debug_path_costs.dat (the
// aggregated costs, (W, H, n)) and debug_depthmap.dat (winner-takes-all labels).
void sgm(yv::Array<float, 2>& labels, yv::Array<float, 3>& costs, float P1, float P2,
         yv::Array<float, 2> const& P2map, int numPaths, bool singleStream);
