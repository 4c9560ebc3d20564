// tessivar: fuses the depth maps of calibrated RGB-D cameras into oriented, coloured points.
#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <iostream>
#include <new>

#include "driver.h"
#include "thread_start.h"
#include "yv/runtime/runtime.h"
#include "yv/tools/timer.h"

namespace {

// The fusion stages run many short OpenMP regions. With the OpenMP runtime's default
// busy-waiting, waiting threads take the cores from working ones as soon as anything else runs
// on the machine, and a run becomes ten to twenty times slower. The worker threads take their
// stacks from `ulimit -s`, which can be too small for them (see raise_thread_stacks). The runtime
// reads its settings only when it is loaded, so a run that was not given a wait policy, or whose
// threads would get too small a stack, restarts itself once with passive waiting and the stack
// floor. An explicit OMP_WAIT_POLICY or OMP_STACKSIZE is respected.
void prepareTheThreads(char** argv) {
  const bool policy = std::getenv("OMP_WAIT_POLICY") == nullptr &&
                      setenv("OMP_WAIT_POLICY", "passive", 1) == 0;
  const bool stacks = raise_thread_stacks();
  if (!policy && !stacks) return;
  execv("/proc/self/exe", argv);
  // The restart failed: go on with the defaults.
  if (policy) unsetenv("OMP_WAIT_POLICY");
  if (stacks) unsetenv("OMP_STACKSIZE");
}

}  // namespace

int main(int argc, char** argv) {
  prepareTheThreads(argv);
  // Whatever a stage or reader throws ends the run with its message and a failure code.
  try {
    const int code = run_tessivar(argc, argv);
    // The process's own end, not the run's: callers of run_tessivar (the tests) keep their
    // device state, cuBLAS handles included.
    yv::timer::clear();  // their events go before the device they belong to
    yv::rt::deviceReset();
    return code;
  } catch (const std::bad_alloc&) {
    // Where even the report of the stage could not be made, or before the first stage.
    std::cout.flush();
    std::cerr << "tessivar: out of memory" << std::endl;
  } catch (const std::exception& e) {
    std::cout.flush();
    std::cerr << e.what() << std::endl;
  } catch (...) {
    std::cout.flush();
    std::cerr << "tessivar: the run stopped on an error" << std::endl;
  }
  return 1;
}
