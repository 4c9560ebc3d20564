// Carries an exception out of an OpenMP team: an exception that leaves a parallel region ends the
// process, so each thread catches, the first exception is kept, and it is rethrown once the team
// has joined.
#pragma once

#include <atomic>
#include <exception>

struct TeamError {
  std::exception_ptr error;
  std::atomic<bool> failed{false};
  // Call from a catch block inside the team.
  void keep_current() {
#pragma omp critical(team_error_keep)
    if (!error) error = std::current_exception();
    failed = true;
  }
  // Lets the other threads stop taking work once one has failed.
  bool seen() const { return failed.load(std::memory_order_relaxed); }
  // Call after the team has joined.
  void rethrow() const {
    if (error) std::rethrow_exception(error);
  }
};
