// Separable filters over double elements with double taps.
#include "yv/filtering/separable_filter.cuh"

YV_FILTER_INSTANCES(double, double)
