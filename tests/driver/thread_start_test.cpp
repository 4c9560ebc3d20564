// The start-up of the run's threads: what it reports when they cannot start, and their stacks.
#include <gtest/gtest.h>
#include <omp.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>

#include "thread_start.h"

namespace {

// Runs `body` in a child process and returns what it wrote to the pipe. The child enters no
// OpenMP region: the pool of this process does not exist there.
std::string inChild(const std::function<std::string()>& body) {
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(30);  // a region that waits on threads of the parent
    close(fds[0]);
    std::string text;
    try {
      text = body();
    } catch (const std::exception& e) {
      text = e.what();
    }
    if (write(fds[1], text.data(), text.size()) < 0) _exit(2);
    _exit(0);
  }
  close(fds[1]);
  std::string text;
  char buffer[512];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;)
    text.append(buffer, std::size_t(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  return text;
}

// start_threads' report at 8 threads, or "started".
std::string startEight() {
  omp_set_num_threads(8);
  start_threads();
  return "started";
}

long addressSpaceKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmSize:", 0) == 0) return std::stol(line.substr(7));
  return 0;
}

}  // namespace

TEST(ThreadStart, ReportsTheCauseWhenTheThreadsCannotStart) {
  // Stacks of OMP_STACKSIZE that do not fit: two of them fit at most.
  EXPECT_EQ(inChild([] {
              setenv("OMP_STACKSIZE", "1G", 1);
              const rlim_t limit = rlim_t(addressSpaceKiB() + (2l << 20)) << 10;
              const rlimit rl = {limit, limit};
              setrlimit(RLIMIT_AS, &rl);
              return startEight();
            }),
            "out of memory while starting 8 threads with stacks of 1048576 KiB (OMP_NUM_THREADS "
            "sets how many, OMP_STACKSIZE their stacks)");
  // No process or thread more for this user. The limit does not hold for root: an ordinary user
  // then.
  EXPECT_EQ(inChild([] {
              if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
                return std::string("cannot leave root");
              const rlimit rl = {1, 1};
              setrlimit(RLIMIT_NPROC, &rl);
              return startEight();
            }),
            "cannot start 8 threads: the limit on the number of processes and threads is reached "
            "(ulimit -u; OMP_NUM_THREADS sets how many threads a run uses)");
  // Stacks too small for the work.
  EXPECT_EQ(inChild([] {
              setenv("OMP_STACKSIZE", " 32 k ", 1);
              return startEight();
            }),
            "OMP_STACKSIZE asks for thread stacks of 32 KiB; the threads need 256 KiB or more");
}

TEST(ThreadStart, SmallDefaultStacksAreRaisedAndExplicitOnesKept) {
  // The default stack of a new thread, as `ulimit -s 40` makes it.
  EXPECT_EQ(inChild([] {
              unsetenv("OMP_STACKSIZE");
              unsetenv("GOMP_STACKSIZE");
              omp_set_num_threads(2);
              pthread_attr_t attr;
              pthread_getattr_default_np(&attr);
              pthread_attr_setstacksize(&attr, 40 << 10);
              pthread_setattr_default_np(&attr);
              const bool raised = raise_thread_stacks();
              const char* value = std::getenv("OMP_STACKSIZE");
              return std::to_string(raised) + " " + (value ? value : "unset") + " " +
                     std::to_string(requested_thread_stack());
            }),
            "1 1024K 1048576");
  EXPECT_EQ(inChild([] {
              setenv("GOMP_STACKSIZE", "40K", 1);
              unsetenv("OMP_STACKSIZE");
              omp_set_num_threads(2);
              std::string from;
              const std::size_t bytes = requested_thread_stack(&from);
              return std::to_string(raise_thread_stacks()) + " " + from + " " +
                     std::to_string(bytes);
            }),
            "0 GOMP_STACKSIZE 40960");
}

TEST(ThreadStart, OpenmpVariablesAreReadAsTheRuntimeReadsThem) {
  std::size_t bytes = 0;
  for (const char* valid : {"512K", " 4 m ", "1G", "100", "+16k", "16384b"})
    EXPECT_TRUE(parse_stack_size(valid, bytes)) << valid;
  EXPECT_EQ(bytes, 16384u);
  // Below the runtime's minimum, or "-5b", which it takes for 2^64 - 5 bytes.
  for (const char* invalid : {"abc", "0", "15K", "1MB", "-5", "", "-5b", "18446744073709551615"})
    EXPECT_FALSE(parse_stack_size(invalid, bytes)) << invalid;
  for (const char* valid : {"8", " 4 , 2 ", "+3", "2147483647"})
    EXPECT_TRUE(valid_thread_counts(valid)) << valid;
  for (const char* invalid : {"0", "abc", "-1", "", " ", "4,", "4,,2", "2x", "2147483648"})
    EXPECT_FALSE(valid_thread_counts(invalid)) << invalid;
  // GOMP_STACKSIZE is read only where OMP_STACKSIZE is not set.
  char gomp[] = "GOMP_STACKSIZE=x", omp[] = "OMP_STACKSIZE=4M", count[] = "OMP_NUM_THREADS=",
       home[] = "HOME=/";
  char* environment[] = {gomp, omp, count, home, nullptr};
  EXPECT_EQ(take_invalid_openmp_variable(environment), count);
  EXPECT_EQ(environment[2], home);
  EXPECT_EQ(environment[3], nullptr);
  EXPECT_EQ(take_invalid_openmp_variable(environment), nullptr);
  EXPECT_EQ(invalid_openmp_variable_report("OMP_STACKSIZE=\x1b]0;x"),
            "OMP_STACKSIZE=\"\\x1b]0;x\" is not a stack size (a number of KiB, or one with a "
            "unit: 512K, 4M, 1G; at least 16 KiB)");
}
