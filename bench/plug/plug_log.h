#pragma once
// What the plug benchmark and its listener process share: a file of the
// namespace folder, mapped by both, in which the listener notes the time of
// each transport-layer callback. Times are steady-clock ticks, which every
// process of the machine reads alike (CLOCK_MONOTONIC; QueryPerformanceCounter
// on Windows).

#include <atomic>
#include <cstdint>

namespace zar_bench {

constexpr const char *kPlugLogName = "plug-bench-log";
constexpr uint32_t kPlugLogEntries = 1024;

struct PlugLog {
  std::atomic<uint32_t> listening; // set by the listener once its callback is registered
  std::atomic<uint32_t> done;      // set by the benchmark: the listener ends
  std::atomic<uint32_t> heard;     // entries written; each entry before the count that covers it
  uint32_t reserved;
  struct Entry {
    int64_t at; // steady-clock ticks
    uint32_t event;
    uint32_t reserved;
  } entries[kPlugLogEntries];
};
static_assert(std::atomic<uint32_t>::is_always_lock_free, "shared between processes");

} // namespace zar_bench
