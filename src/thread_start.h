// Starts the OpenMP threads of the run up front.
#pragma once

// Starts the threads that OpenMP regions will use (omp_get_max_threads() of them, this one
// included). The OpenMP runtime starts a thread when a region first needs it, anywhere in the
// run, ends the process when it cannot, and keeps its threads for the later regions: started
// here, they cannot fail later. Throws std::bad_alloc when they cannot all be started (their
// stacks do not fit under the memory limit), before the runtime tries.
void start_threads();
