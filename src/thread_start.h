// Starts the OpenMP threads of the run up front, with stacks they can work in.
#pragma once

#include <cstddef>
#include <string>

// The stack a run gives its threads where `ulimit -s` is smaller (the point passes need a few
// dozen KiB): the worker threads when neither OMP_STACKSIZE nor GOMP_STACKSIZE is set, and the
// first thread as far as the hard limit allows.
constexpr std::size_t thread_stack_floor = std::size_t(1) << 20;
// Below this a worker thread's stack is refused: an explicit OMP_STACKSIZE (or GOMP_STACKSIZE),
// or `ulimit -s` where neither is set and the run cannot raise it.
constexpr std::size_t thread_stack_minimum = std::size_t(256) << 10;
// Below this the stack limit (ulimit -s) is refused: the first thread works in every stage and
// its stack grows only up to the limit, which also holds the arguments and the environment (up to
// a quarter of it). Runs of 1 and 8 threads on scenes of 8 cameras of 320x240 and 640x480, on the
// host back end, completed at 36 KiB and sometimes failed at 32; 12 KiB more for the arguments,
// the environment and the stack's random placement.
constexpr std::size_t main_stack_minimum = std::size_t(48) << 10;

// Raises the soft stack limit to thread_stack_floor where it is lower (up to the hard limit),
// and sets OMP_STACKSIZE to it where the OpenMP runtime would otherwise give its threads a
// smaller stack (see above); true when it set the variable. The runtime reads the variable only
// when it is loaded, so the caller must then restart the program.
bool raise_thread_stacks();

// The stack size, in bytes, that OMP_STACKSIZE or GOMP_STACKSIZE asks for (see
// parse_stack_size), or 0 when neither is set to a valid value. `from` gets the variable's name.
std::size_t requested_thread_stack(std::string* from = nullptr);

// A stack size as the OpenMP runtime reads it from OMP_STACKSIZE: a decimal number, then
// optionally a unit (B, K, M or G, in either case; K without one), spaces allowed around both,
// of at least the runtime's minimum of 16 KiB. A minus sign is refused, where the runtime takes
// "-5b" for 2^64 - 5 bytes.
bool parse_stack_size(const char* text, std::size_t& bytes);
// Whether OMP_NUM_THREADS may hold `text`: as the OpenMP runtime reads it, a whole number of 1 or
// more, or a list of them separated by commas (one per nesting level), spaces allowed around
// each; also no more than an int holds, as the runtime's thread count is one.
bool valid_thread_counts(const char* text);

// The OpenMP runtime reads its variables when it is loaded, and where one holds a value it
// rejects, it says so on standard error and goes on with its default. Takes out of `environment`
// (an array such as `environ`, ended by a null pointer) the first entry of OMP_NUM_THREADS,
// OMP_STACKSIZE or GOMP_STACKSIZE (this one where OMP_STACKSIZE is not set, as the runtime reads
// it) that the functions above refuse, moving the later entries up as unsetenv does, and returns
// it ("NAME=VALUE"), or nullptr. It needs nothing of the C library but its string functions, so
// it can run before the libraries' initializers, the runtime's included.
const char* take_invalid_openmp_variable(char** environment);
// The run's report of an entry that take_invalid_openmp_variable returned: the variable, its value
// (quoted and shown as messages show words) and what it may hold.
std::string invalid_openmp_variable_report(const char* entry);

// Why the stacks are refused, or "": a stack limit (ulimit -s) below main_stack_minimum, and
// where the run has more than one thread, worker stacks below thread_stack_minimum (from
// OMP_STACKSIZE or GOMP_STACKSIZE, or from `ulimit -s` where neither is set). Too small a stack
// would end the run by a fault.
std::string stack_refusal();

// Starts the threads that OpenMP regions will use (omp_get_max_threads() of them, this one
// included). The OpenMP runtime starts a thread when a region first needs it, ends the process
// when it cannot, and keeps its threads for the later regions, which all use the whole pool:
// started here, they are not started again. Each is first tried with the stack the runtime will
// give it. Where they cannot all be started, throws std::runtime_error with the cause: the memory
// for their stacks, or the limit on processes and threads (ulimit -u); also where stack_refusal
// refuses the stacks.
void start_threads();
