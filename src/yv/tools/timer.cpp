#include "yv/tools/timer.h"

#include <algorithm>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <vector>

#include "yv/runtime/runtime.h"

namespace yv {

std::map<std::string, timer::TimerEntry> timer::timers;

namespace {

// The timers' events live until the process ends; made after the table, this is destroyed before
// it and releases them, so that no program leaks them.
struct ReleaseAtExit {
  ~ReleaseAtExit() { timer::clear(); }
} release_at_exit;

const float kMsPerSecond = 1000.f, kMsPerMinute = 60000.f, kMsPerHour = 3600000.f;

int unitOf(float t) {
  if (t < kMsPerSecond) return 0;
  if (t < kMsPerMinute) return 1;
  if (t < kMsPerHour) return 2;
  return 3;
}

void endInterval(timer::TimerEntry& e) {
  rt::eventRecord(e.stop, 0);
  rt::eventSynchronize(e.stop);
  e.running = false;
  float ms = 0.f;
  if (rt::eventElapsedTime(&ms, e.start, e.stop) != cudaSuccess) {
    ms = 0.f;  // a failed query adds nothing
    rt::getLastError();
  }
  e.elapsed += ms;
}

}  // namespace

void timer::start(const std::string& name) {
  auto it = timers.find(name);
  if (it == timers.end()) {
    TimerEntry e;
    rt::eventCreate(&e.start, 0);
    rt::eventCreate(&e.stop, 0);
    e.running = false;
    e.elapsed = 0.f;
    it = timers.emplace(name, e).first;
  }
  if (!it->second.running) {
    it->second.running = true;
    rt::eventRecord(it->second.start, 0);
  }
}

void timer::stop(const std::string& name) {
  auto it = timers.find(name);
  if (it != timers.end() && it->second.running) endInterval(it->second);
}

void timer::reset(const std::string& name) {
  auto it = timers.find(name);
  if (it == timers.end()) return;
  if (it->second.running) {
    endInterval(it->second);
    it->second.running = true;
    rt::eventRecord(it->second.start, 0);
  }
  it->second.elapsed = 0.f;
}

void timer::clear() {
  for (auto& kv : timers) {
    if (kv.second.running) endInterval(kv.second);
    rt::eventDestroy(kv.second.start);
    rt::eventDestroy(kv.second.stop);
  }
  timers.clear();
}

bool timer::isRunning(const std::string& name) {
  auto it = timers.find(name);
  return it != timers.end() && it->second.running;
}

float& timer::elapsedTime(const std::string& name) {
  auto it = timers.find(name);
  if (it != timers.end()) return it->second.elapsed;
  // A fresh zero on every call, so that a caller's write cannot leak into later answers.
  static thread_local float zero;
  zero = 0.f;
  return zero;
}

std::string timer::formatTime(int format, float t) {
  std::stringstream ss;
  int unit = format;
  if (format == AUTO_EACH) unit = unitOf(t);
  if (format == HMS) {
    int h = int(t / kMsPerHour);
    int m = int((t - float(h) * kMsPerHour) / kMsPerMinute);
    int s = int((t - float(h) * kMsPerHour - float(m) * kMsPerMinute) / kMsPerSecond);
    ss << std::setw(12) << h << ":" << m << ":" << s;
    return ss.str();
  }
  ss << std::fixed << std::setprecision(3) << std::setw(12);
  switch (unit) {
    case SECONDS: ss << t / kMsPerSecond << " sec"; break;
    case MINUTES: ss << t / kMsPerMinute << " min"; break;
    case HOURS: ss << t / kMsPerHour << " h"; break;
    default: ss << t << " msec"; break;
  }
  return ss.str();
}

void timer::print(std::ostream& os, const std::string& name, Format format, Sorting sorting,
                  bool ascending) {
  std::vector<std::pair<std::string, float>> list;
  int longest = 0;
  int common = 0;
  for (auto& kv : timers) {
    if (!name.empty() && kv.first != name) continue;
    list.emplace_back(kv.first, kv.second.elapsed);
    longest = std::max(longest, int(kv.first.size()));
    common = std::max(common, unitOf(kv.second.elapsed));
  }
  // Stable sorts of the name-ordered list: timers of equal time stay in increasing name order
  // in both directions.
  if (sorting == BY_NAME) {
    std::stable_sort(list.begin(), list.end(), [ascending](const auto& a, const auto& b) {
      return ascending ? a.first < b.first : b.first < a.first;
    });
  } else {
    std::stable_sort(list.begin(), list.end(), [ascending](const auto& a, const auto& b) {
      return ascending ? a.second < b.second : b.second < a.second;
    });
  }
  const int f = format == AUTO_COMMON ? common : int(format);
  for (auto& p : list) os << std::setw(longest + 1) << p.first << formatTime(f, p.second) << std::endl;
}

void timer::printToScreen(const std::string& name, Format format, Sorting sorting,
                          bool ascending) {
  print(std::cout, name, format, sorting, ascending);
}

void timer::printToFile(const std::string& fileName, const std::string& name, Format format,
                        Sorting sorting, bool ascending) {
  std::ofstream out(fileName.c_str(), std::ios::out | std::ios::trunc);
  print(out, name, format, sorting, ascending);
}

}  // namespace yv
