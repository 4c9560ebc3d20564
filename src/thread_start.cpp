#include "thread_start.h"

#include <omp.h>
#include <pthread.h>

#include <cstdlib>
#include <new>
#include <vector>

namespace {

pthread_mutex_t hold = PTHREAD_MUTEX_INITIALIZER;

// Takes memory as a worker does, which gives the thread its own heap, then waits until the
// probe is over, so that all probe threads exist at once. Heaps outlive their threads and go to
// the next threads started, the runtime's.
void* wait_for_release(void*) {
  void* volatile block = std::malloc(64);
  std::free(block);
  pthread_mutex_lock(&hold);
  pthread_mutex_unlock(&hold);
  return nullptr;
}

}  // namespace

void start_threads() {
  const int threads = omp_get_max_threads();
  if (threads <= 1) return;
  // Probe threads with the default attributes, as the runtime's have unless OMP_STACKSIZE is
  // set; their stacks are freed again just before the runtime takes its own.
  std::vector<pthread_t> probes;
  probes.reserve(std::size_t(threads - 1));
  pthread_mutex_lock(&hold);
  bool started = true;
  for (int t = 1; t < threads && started; ++t) {
    pthread_t id;
    started = pthread_create(&id, nullptr, wait_for_release, nullptr) == 0;
    if (started) probes.push_back(id);
  }
  pthread_mutex_unlock(&hold);
  for (pthread_t id : probes) pthread_join(id, nullptr);
  if (!started) throw std::bad_alloc();
  // A region with work of its own: an empty one may be left out by the compiler.
  volatile int joined = 0;
#pragma omp parallel
  {
#pragma omp atomic
    joined += 1;
  }
}
