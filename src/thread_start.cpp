#include "thread_start.h"

#include <omp.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/resource.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

namespace {

pthread_mutex_t hold = PTHREAD_MUTEX_INITIALIZER;

// Waits until the probe is over, so that all probe threads exist at once. It takes no memory of
// its own: a thread's heap is made on its first allocation, where a failure only makes it share
// another thread's heap, and making one maps twice its size for a moment, which could take the
// room of the next stack.
void* wait_for_release(void*) {
  pthread_mutex_lock(&hold);
  pthread_mutex_unlock(&hold);
  return nullptr;
}

bool space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// A stack size as the OpenMP runtime reads it from its variables: a decimal number, then
// optionally a unit (B, K, M or G, in either case; K without one), spaces allowed around both.
bool parse_stack_size(const char* text, std::size_t& bytes) {
  if (text == nullptr) return false;
  while (space(*text)) ++text;
  if (*text == '\0') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (errno != 0 || end == text) return false;
  while (space(*end)) ++end;
  unsigned shift = 10;
  if (*end != '\0') {
    switch (std::tolower(static_cast<unsigned char>(*end))) {
      case 'b': shift = 0; break;
      case 'k': break;
      case 'm': shift = 20; break;
      case 'g': shift = 30; break;
      default: return false;
    }
    ++end;
    while (space(*end)) ++end;
    if (*end != '\0') return false;
  }
  if (((value << shift) >> shift) != value) return false;
  bytes = std::size_t(value) << shift;
  return true;
}

// The stack of a thread made with the default attributes: `ulimit -s`, where it is set.
std::size_t default_thread_stack() {
  pthread_attr_t attr;
  std::size_t bytes = 0;
  if (pthread_getattr_default_np(&attr) != 0) return 0;
  if (pthread_attr_getstacksize(&attr, &bytes) != 0) bytes = 0;
  pthread_attr_destroy(&attr);
  return bytes;
}

// Whether twice a stack of `bytes` still fits in the address space: where a thread could not be
// started although it does, memory was not what stopped it.
bool stacks_fit(std::size_t bytes) {
  const std::size_t twice = bytes > (~std::size_t(0)) / 2 ? ~std::size_t(0) : 2 * bytes;
  void* p = mmap(nullptr, twice, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK,
                 -1, 0);
  if (p == MAP_FAILED) return false;
  munmap(p, twice);
  return true;
}

// Starts threads - 1 threads with `attr` and ends them again; 0 or pthread_create's error, with
// ENOMEM for an EAGAIN that a lack of memory explains (pthread_create reports both a stack it
// cannot map and a process limit as EAGAIN).
int probe(int threads, const pthread_attr_t& attr, std::size_t stack) {
  std::vector<pthread_t> probes;
  probes.reserve(std::size_t(threads - 1));
  pthread_mutex_lock(&hold);
  int failure = 0;
  for (int t = 1; t < threads && failure == 0; ++t) {
    pthread_t id;
    failure = pthread_create(&id, &attr, wait_for_release, nullptr);
    if (failure != 0) break;
    probes.push_back(id);
  }
  // While the threads started so far still hold their stacks.
  if (failure == EAGAIN && !stacks_fit(stack)) failure = ENOMEM;
  pthread_mutex_unlock(&hold);
  for (pthread_t id : probes) pthread_join(id, nullptr);
  return failure;
}

// What stopped the threads, for the run's report.
std::string describe_failure(int failure, int threads, std::size_t stack,
                             const std::string& variable) {
  const std::string count = std::to_string(threads) + " threads";
  const std::string kib = std::to_string((stack + 1023) / 1024) + " KiB";
  const std::string sizes = variable.empty() ? "ulimit -s" : variable;
  if (failure == ENOMEM)
    return "out of memory while starting " + count + " with stacks of " + kib +
           " (OMP_NUM_THREADS sets how many, " + sizes + " their stacks)";
  if (failure == EAGAIN)
    return "cannot start " + count +
           ": the limit on the number of processes and threads is reached (ulimit -u; "
           "OMP_NUM_THREADS sets how many threads a run uses)";
  return "cannot start " + count + " with stacks of " + kib + " (" + sizes +
         "): " + std::strerror(failure);
}

}  // namespace

std::size_t requested_thread_stack(std::string* from) {
  for (const char* name : {"OMP_STACKSIZE", "GOMP_STACKSIZE"}) {
    std::size_t bytes = 0;
    if (parse_stack_size(std::getenv(name), bytes)) {
      if (from) *from = name;
      return bytes;
    }
  }
  return 0;
}

bool raise_thread_stacks() {
  // This thread's stack grows up to the soft limit, which takes effect at once.
  rlimit rl;
  if (getrlimit(RLIMIT_STACK, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY &&
      rl.rlim_cur < thread_stack_floor) {
    rl.rlim_cur = rl.rlim_max == RLIM_INFINITY ? rlim_t(thread_stack_floor)
                                               : std::min(rlim_t(thread_stack_floor), rl.rlim_max);
    setrlimit(RLIMIT_STACK, &rl);
  }
  // The other threads: an explicit setting, even one the runtime rejects, is the user's.
  if (std::getenv("OMP_STACKSIZE") != nullptr || std::getenv("GOMP_STACKSIZE") != nullptr)
    return false;
  if (omp_get_max_threads() <= 1) return false;
  const std::size_t stack = default_thread_stack();
  if (stack == 0 || stack >= thread_stack_floor) return false;
  return setenv("OMP_STACKSIZE", (std::to_string(thread_stack_floor >> 10) + "K").c_str(), 1) == 0;
}

void start_threads() {
  // This thread works in every region too.
  rlimit rl;
  if (getrlimit(RLIMIT_STACK, &rl) == 0 && rl.rlim_cur < thread_stack_minimum)
    throw std::runtime_error("the stack limit (ulimit -s) is " +
                             std::to_string((rl.rlim_cur + 1023) / 1024) + " KiB; a run needs " +
                             std::to_string(thread_stack_minimum >> 10) + " KiB or more");
  const int threads = omp_get_max_threads();
  if (threads <= 1) return;
  std::string variable;
  const std::size_t asked = requested_thread_stack(&variable);
  // Too small a stack would end the run by a fault in the middle of a stage.
  const std::size_t given = asked != 0 ? asked : default_thread_stack();
  if (given != 0 && given < thread_stack_minimum)
    throw std::runtime_error(
        (asked != 0 ? variable + " asks for" : std::string("ulimit -s gives")) +
        " thread stacks of " + std::to_string((given + 1023) / 1024) + " KiB; the threads need " +
        std::to_string(thread_stack_minimum >> 10) + " KiB or more");
  // The attributes the runtime gives its threads: the default ones, with the stack size of its
  // variable where one is set.
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) throw std::bad_alloc();
  if (asked != 0 && pthread_attr_setstacksize(&attr, asked) != 0) variable.clear();
  std::size_t stack = 0;
  pthread_attr_getstacksize(&attr, &stack);
  int failure = ENOMEM;
  try {
    failure = probe(threads, attr, stack);
  } catch (const std::bad_alloc&) {
  }
  pthread_attr_destroy(&attr);
  if (failure != 0) throw std::runtime_error(describe_failure(failure, threads, stack, variable));
  // The runtime's own threads take the probe threads' places. A region with work of its own: an
  // empty one may be left out by the compiler.
  volatile int joined = 0;
#pragma omp parallel
  {
#pragma omp atomic
    joined += 1;
  }
}
