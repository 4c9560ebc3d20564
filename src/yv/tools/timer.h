// yv::timer: named timers over runtime events, accumulated in milliseconds and printed as a table.
// One process-wide table, used from the main thread.
#pragma once

#include <cuda_runtime.h>

#include <map>
#include <ostream>
#include <string>

namespace yv {

class timer {
 public:
  enum Format { MILLISECONDS = 0, SECONDS, MINUTES, HOURS, HMS, AUTO_EACH, AUTO_COMMON };
  enum Sorting { BY_NAME = 0, BY_TIME = 1 };

  struct TimerEntry {
    cudaEvent_t start;
    cudaEvent_t stop;
    bool running;
    float elapsed;  // milliseconds of completed intervals
  };

  static void start(const std::string& name);
  static void stop(const std::string& name);
  static void reset(const std::string& name);
  static void clear();
  static bool isRunning(const std::string& name);
  static float& elapsedTime(const std::string& name);
  static void printToScreen(const std::string& name = "", Format format = AUTO_COMMON,
                            Sorting sorting = BY_NAME, bool ascending = true);
  static void printToFile(const std::string& fileName, const std::string& name = "",
                          Format format = AUTO_COMMON, Sorting sorting = BY_NAME,
                          bool ascending = true);

  static std::string formatTime(int format, float ms);

 private:
  static std::map<std::string, TimerEntry> timers;
  static void print(std::ostream& os, const std::string& name, Format format, Sorting sorting,
                    bool ascending);
};

}  // namespace yv
