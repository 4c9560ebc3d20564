// Starts the OpenMP threads of the run up front, with stacks they can work in.
#pragma once

#include <cstddef>
#include <string>

// The stack a run gives its threads where `ulimit -s` is smaller (the point passes need a few
// dozen KiB): the worker threads when neither OMP_STACKSIZE nor GOMP_STACKSIZE is set, and the
// first thread as far as the hard limit allows.
constexpr std::size_t thread_stack_floor = std::size_t(1) << 20;
// Below this a thread's stack is refused: an explicit OMP_STACKSIZE (or GOMP_STACKSIZE), or a
// stack limit that cannot be raised.
constexpr std::size_t thread_stack_minimum = std::size_t(256) << 10;

// Raises the soft stack limit to thread_stack_floor where it is lower (up to the hard limit),
// and sets OMP_STACKSIZE to it where the OpenMP runtime would otherwise give its threads a
// smaller stack (see above); true when it set the variable. The runtime reads the variable only
// when it is loaded, so the caller must then restart the program.
bool raise_thread_stacks();

// The stack size, in bytes, that OMP_STACKSIZE or GOMP_STACKSIZE asks for (read as the OpenMP
// runtime reads them: a number, then optionally B, K, M or G, K when none), or 0 when neither is
// set to a valid value. `from` gets the variable's name.
std::size_t requested_thread_stack(std::string* from = nullptr);

// Starts the threads that OpenMP regions will use (omp_get_max_threads() of them, this one
// included). The OpenMP runtime starts a thread when a region first needs it, ends the process
// when it cannot, and keeps its threads for the later regions, which all use the whole pool:
// started here, they are not started again. Each is first tried with the stack the runtime will
// give it. Where they cannot all be started, throws std::runtime_error with the cause: the memory
// for their stacks, or the limit on processes and threads (ulimit -u); also when OMP_STACKSIZE
// or the stack limit allow less than thread_stack_minimum.
void start_threads();
