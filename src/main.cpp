// tessivar: fuses the depth maps of calibrated RGB-D cameras into oriented, coloured points.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <fstream>
#include <iostream>
#include <new>
#include <string>
#include <vector>

#include "driver.h"
#include "thread_start.h"
#include "yv/runtime/runtime.h"
#include "yv/tools/timer.h"

namespace {

// The entry of an OpenMP variable that the OpenMP runtime would reject, "NAME=VALUE".
const char* refused_variable = nullptr;

// The runtime reads its variables when it is loaded, before main, and reports a value it rejects
// itself, once in each process of the restart below, and then goes on with its default. The
// executable's preinit functions run before any library's initializers: this one takes such a
// value out of the environment first, and main refuses the run with it. (The C library's environ
// is not set yet: its initializer sets it to this array.)
void screenOpenmpVariables(int, char**, char** envp) {
  refused_variable = take_invalid_openmp_variable(envp);
}
__attribute__((section(".preinit_array"), used)) void (*const screen_openmp_variables)(
    int, char**, char**) = screenOpenmpVariables;

// Whether something fakes /proc/self/exe, as valgrind does: it shows the program to whoever opens
// it, while the file that runs, and that executing it would start, is its own.
bool exeIsFaked() {
  const int fd = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return true;
  struct stat opened, named;
  const bool same = fstat(fd, &opened) == 0 && stat("/proc/self/exe", &named) == 0 &&
                    opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
  close(fd);
  return !same;
}

// The words this process was started with, from /proc/self/cmdline. Started through the dynamic
// loader (ld-linux-x86-64.so.2 [OPTION]... tessivar ...), /proc/self/exe is the loader, and they
// begin with it and its options; executing it with argv would take the first argument for the
// program. Empty where they do not end with all of argv's arguments.
std::vector<std::string> startWords(int argc, char** argv) {
  std::ifstream file("/proc/self/cmdline", std::ios::binary);
  std::vector<std::string> words;
  for (std::string word; std::getline(file, word, '\0');) words.push_back(word);
  if (words.size() < std::size_t(argc)) return {};
  for (int i = 1; i < argc; ++i)
    if (words[words.size() - std::size_t(argc - i)] != argv[i]) return {};
  return words;
}

// The fusion stages run many short OpenMP regions. With the OpenMP runtime's default
// busy-waiting, waiting threads take the cores from working ones as soon as anything else runs
// on the machine, and a run becomes ten to twenty times slower. The worker threads take their
// stacks from `ulimit -s`, which can be too small for them (see raise_thread_stacks). The runtime
// reads its settings only when it is loaded, so a run that was not given a wait policy, or whose
// threads would get too small a stack, restarts itself once with passive waiting and the stack
// floor, by the command that started it. An explicit OMP_WAIT_POLICY or OMP_STACKSIZE is
// respected. Under valgrind, or where the command is not known, a run goes on with the runtime's
// defaults.
// False where the stacks are refused; it has said why.
bool prepareTheThreads(int argc, char** argv) {
  const bool policy = std::getenv("OMP_WAIT_POLICY") == nullptr &&
                      setenv("OMP_WAIT_POLICY", "passive", 1) == 0;
  const bool stacks = raise_thread_stacks();
  // Refused here, once, and written directly: below the minimum the first deep calls (the output
  // folder's, the device probe's, even an exception's unwinding) already end by a fault.
  const std::string refusal = stack_refusal();
  if (!refusal.empty()) {
    const std::string line = refusal + "\n";
    const ssize_t written = write(STDERR_FILENO, line.data(), line.size());
    static_cast<void>(written);  // where standard error is gone, the exit code remains
    return false;
  }
  if (!policy && !stacks) return true;
  std::vector<std::string> words = exeIsFaked() ? std::vector<std::string>()
                                                : startWords(argc, argv);
  if (!words.empty()) {
    std::vector<char*> restart;
    for (std::string& word : words) restart.push_back(word.data());
    restart.push_back(nullptr);
    execv("/proc/self/exe", restart.data());
  }
  // No restart: go on with the defaults.
  if (policy) unsetenv("OMP_WAIT_POLICY");
  if (stacks) unsetenv("OMP_STACKSIZE");
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (refused_variable != nullptr) {
    std::cerr << invalid_openmp_variable_report(refused_variable) << std::endl;
    return 1;
  }
  // Whatever a stage or reader throws ends the run with its message and a failure code.
  try {
    if (!prepareTheThreads(argc, argv)) return 1;
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
