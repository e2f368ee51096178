#pragma once
// What the table-lock benchmark and its churning processes share: a file of
// the namespace folder, mapped by all of them, in which each churner notes
// how long each of its camera opens took. Times in microseconds.

#include <atomic>
#include <cstdint>

namespace zar_bench {

constexpr const char *kChurnLogName = "table-churn-log";
constexpr uint32_t kChurnLogEntries = 65536;

struct ChurnLog {
  std::atomic<uint32_t> ready;   // churners that have the library open
  std::atomic<uint32_t> go;      // set by the benchmark: churning starts
  std::atomic<uint32_t> done;    // set by the benchmark: churners close and end
  std::atomic<uint32_t> opens;   // entries written
  std::atomic<uint32_t> refused; // opens answered with a failure
  uint32_t reserved;
  uint32_t openMicros[kChurnLogEntries];
};
static_assert(std::atomic<uint32_t>::is_always_lock_free, "shared between processes");

} // namespace zar_bench
