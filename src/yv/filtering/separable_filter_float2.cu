// Separable filters over float2 elements with float taps.
#include "yv/filtering/separable_filter.cuh"

YV_FILTER_INSTANCES(float, float2)
