#pragma once
// Percentiles of latency samples, for the benchmarks that report them.

#include <algorithm>
#include <cstddef>
#include <vector>

namespace zar_bench {

// The sample at that fraction of the sorted samples (0.5: the median); the
// samples must not be empty.
inline double Percentile(std::vector<double> values, double fraction) {
  std::sort(values.begin(), values.end());
  return values[static_cast<size_t>(fraction * static_cast<double>(values.size() - 1))];
}

} // namespace zar_bench
