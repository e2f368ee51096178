#pragma once
// Wall time and the process's CPU time read together, for benchmarks that
// report both for two paths measured side by side.

#include <chrono>
#include <ctime>

namespace zar_bench {

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
