// Separable filters over float elements with float taps.
#include "yv/filtering/separable_filter.cuh"

YV_FILTER_INSTANCES(float, float)
