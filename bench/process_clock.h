#pragma once
// Wall time and the process's CPU time read together, for benchmarks that
// report both for two paths measured side by side; and the calling thread's
// own CPU time, which leaves out the threads it wakes.

#include <chrono>
#include <ctime>

namespace zar_bench {

// CPU nanoseconds of the calling thread so far.
inline double ThreadCpuNs() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return 1e9 * static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec);
}

struct ProcessClock {
  std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
  std::clock_t cpu = std::clock();
};

// Adds the wall and CPU nanoseconds since `since`.
inline void AddSince(const ProcessClock &since, double *wallNs, double *cpuNs) {
  const ProcessClock now;
  *wallNs += std::chrono::duration<double, std::nano>(now.wall - since.wall).count();
  *cpuNs += 1e9 * static_cast<double>(now.cpu - since.cpu) / CLOCKS_PER_SEC;
}

} // namespace zar_bench
