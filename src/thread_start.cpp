#include "thread_start.h"

#include <omp.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

#include "printable.h"

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

// Spaces as the OpenMP runtime skips them: isspace in the "C" locale, the one it reads in.
bool space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
const char* skip_spaces(const char* p) {
  while (space(*p)) ++p;
  return p;
}

// A decimal number at `p` (after an optional '+', as strtoul takes it): where it ends, or nullptr
// where there is none or it does not fit `value`.
const char* read_number(const char* p, unsigned long& value) {
  if (*p == '+') ++p;
  if (*p < '0' || *p > '9') return nullptr;
  value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    const unsigned long digit = static_cast<unsigned long>(*p - '0');
    if (value > (~0ul - digit) / 10) return nullptr;
    value = value * 10 + digit;
  }
  return p;
}

// The OpenMP runtime's smallest thread stack (PTHREAD_STACK_MIN): it rejects a smaller one.
constexpr std::size_t runtime_stack_minimum = std::size_t(16) << 10;

// KiB, rounded up, as the reports give stacks.
std::string kib(std::size_t bytes) {
  return std::to_string(bytes / 1024 + (bytes % 1024 != 0)) + " KiB";
}

// The variables take_invalid_openmp_variable looks at; "NAME=" as the environment holds them.
constexpr const char* thread_counts_entry = "OMP_NUM_THREADS=";
constexpr const char* stack_entries[] = {"OMP_STACKSIZE=", "GOMP_STACKSIZE="};

bool starts_with(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
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
  const std::string sizes = variable.empty() ? "ulimit -s" : variable;
  if (failure == ENOMEM)
    return "out of memory while starting " + count + " with stacks of " + kib(stack) +
           " (OMP_NUM_THREADS sets how many, " + sizes + " their stacks)";
  if (failure == EAGAIN)
    return "cannot start " + count +
           ": the limit on the number of processes and threads is reached (ulimit -u; "
           "OMP_NUM_THREADS sets how many threads a run uses)";
  return "cannot start " + count + " with stacks of " + kib(stack) + " (" + sizes +
         "): " + std::strerror(failure);
}

}  // namespace

bool parse_stack_size(const char* text, std::size_t& bytes) {
  if (text == nullptr) return false;
  unsigned long value = 0;
  const char* end = read_number(skip_spaces(text), value);
  if (end == nullptr) return false;
  end = skip_spaces(end);
  unsigned shift = 10;
  if (*end != '\0') {
    switch (*end | 0x20) {  // the letter in lower case
      case 'b': shift = 0; break;
      case 'k': break;
      case 'm': shift = 20; break;
      case 'g': shift = 30; break;
      default: return false;
    }
    end = skip_spaces(end + 1);
    if (*end != '\0') return false;
  }
  if (((value << shift) >> shift) != value || (value << shift) < runtime_stack_minimum)
    return false;
  bytes = std::size_t(value) << shift;
  return true;
}

bool valid_thread_counts(const char* text) {
  if (text == nullptr) return false;
  for (const char* p = text;; ++p) {  // past the comma
    unsigned long count = 0;
    p = read_number(skip_spaces(p), count);
    if (p == nullptr || count == 0 || count > unsigned(INT_MAX)) return false;
    p = skip_spaces(p);
    if (*p != ',') return *p == '\0';
  }
}

const char* take_invalid_openmp_variable(char** environment) {
  if (environment == nullptr) return nullptr;
  bool stack_size_set = false;
  for (char** e = environment; *e; ++e) stack_size_set |= starts_with(*e, stack_entries[0]);
  for (char** e = environment; *e; ++e) {
    const char* entry = *e;
    std::size_t bytes = 0;
    const bool refused =
        starts_with(entry, thread_counts_entry)
            ? !valid_thread_counts(entry + std::strlen(thread_counts_entry))
        : starts_with(entry, stack_entries[0])
            ? !parse_stack_size(entry + std::strlen(stack_entries[0]), bytes)
        : starts_with(entry, stack_entries[1]) && !stack_size_set &&
              !parse_stack_size(entry + std::strlen(stack_entries[1]), bytes);
    if (!refused) continue;
    for (char** later = e; *later; ++later) later[0] = later[1];
    return entry;
  }
  return nullptr;
}

std::string invalid_openmp_variable_report(const char* entry) {
  const char* equals = std::strchr(entry, '=');
  const std::string name(entry, equals ? std::size_t(equals - entry) : std::strlen(entry));
  const std::string shown = name + "=\"" + printable_word(equals ? equals + 1 : "") + "\"";
  if (name == "OMP_NUM_THREADS")
    return shown + " is not a number of threads (a whole number from 1 to " +
           std::to_string(INT_MAX) + ", or a list of them for nested levels: 8,2)";
  return shown + " is not a stack size (a number of KiB, or one with a unit: 512K, 4M, 1G; at " +
         "least " + kib(runtime_stack_minimum) + ")";
}

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

std::string stack_refusal() {
  // This thread works in every region too.
  rlimit rl;
  if (getrlimit(RLIMIT_STACK, &rl) == 0 && rl.rlim_cur < main_stack_minimum)
    return "the stack limit (ulimit -s) is " + kib(rl.rlim_cur) + "; a run needs " +
           kib(main_stack_minimum) + " or more";
  if (omp_get_max_threads() <= 1) return "";
  std::string variable;
  const std::size_t asked = requested_thread_stack(&variable);
  // Too small a stack would end the run by a fault in the middle of a stage.
  const std::size_t given = asked != 0 ? asked : default_thread_stack();
  if (given != 0 && given < thread_stack_minimum)
    return (asked != 0 ? variable + " asks for" : std::string("ulimit -s gives")) +
           " thread stacks of " + kib(given) + "; the threads need " + kib(thread_stack_minimum) +
           " or more";
  return "";
}

void start_threads() {
  const std::string refusal = stack_refusal();
  if (!refusal.empty()) throw std::runtime_error(refusal);
  const int threads = omp_get_max_threads();
  if (threads <= 1) return;
  std::string variable;
  const std::size_t asked = requested_thread_stack(&variable);
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
