// The table lock under churn: how long a table-locking call (TLGetNumDevices)
// of this process takes while 8 other processes open and close 2 cameras as
// fast as they can (table/table_churner.cpp), beside the same call with the
// other processes idle, in one run. A call waits for whatever holds the
// camera table's cross-process lock, so each sample shows how long an open
// or a close of the churners kept the table from everyone else.
// Counters in milliseconds: p50, p99 and the slowest call of each phase, the
// ratio of the two p99s, this thread's CPU time per call beside its wall
// time; and the churners' opens: how many succeeded, how many were refused,
// their p99 and how many took 190 ms or more.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "export_camera.h"
#include "os/child_process.h"
#include "os/mapped_file.h"
#include "percentile.h"
#include "process_clock.h"
#include "table/churn_log.h"
#include "zar_usb.h"

using namespace oxa::ZarUsb;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kChurners = 8;
constexpr auto kIdlePhase = std::chrono::seconds(2);
constexpr auto kChurnPhase = std::chrono::seconds(6);
constexpr auto kCallSpacing = std::chrono::milliseconds(2);

std::string ChurnerPath() {
  const std::filesystem::path self(os::ExecutablePath());
  return (self.parent_path() / ("zar_table_churner" + self.extension().string())).string();
}

bool WaitUntil(const std::function<bool()> &condition, Clock::duration wait) {
  const auto deadline = Clock::now() + wait;
  while (!condition()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

struct CallTimes {
  std::vector<double> ms;
  double cpuNs = 0, wallNs = 0;
};

// TLGetNumDevices every 2 ms for the phase's length.
std::optional<CallTimes> TimeTableCalls(ZAR_TL_HANDLE tl, Clock::duration phase) {
  CallTimes times;
  const auto end = Clock::now() + phase;
  while (Clock::now() < end) {
    uint32_t count = 0;
    const double cpu = zar_bench::ThreadCpuNs();
    const auto start = Clock::now();
    if (TLGetNumDevices(tl, "USB", &count) != ZAR_SUCCESS || count < 2) return std::nullopt;
    const double wallNs = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    times.cpuNs += zar_bench::ThreadCpuNs() - cpu;
    times.wallNs += wallNs;
    times.ms.push_back(wallNs / 1e6);
    std::this_thread::sleep_for(kCallSpacing);
  }
  return times;
}

void Report(benchmark::State &state, const char *phase, const CallTimes &times) {
  const std::string prefix(phase);
  state.counters[prefix + "_p50_ms"] = zar_bench::Percentile(times.ms, 0.5);
  state.counters[prefix + "_p99_ms"] = zar_bench::Percentile(times.ms, 0.99);
  state.counters[prefix + "_max_ms"] = zar_bench::Percentile(times.ms, 1.0);
  state.counters[prefix + "_calls"] = static_cast<double>(times.ms.size());
  state.counters[prefix + "_wall_us_per_call"] = times.wallNs / 1e3 / static_cast<double>(times.ms.size());
  state.counters[prefix + "_cpu_us_per_call"] = times.cpuNs / 1e3 / static_cast<double>(times.ms.size());
}

void BM_TableCallBesideOpenCloseChurn(benchmark::State &state) {
  ZAR_TL_HANDLE tl = nullptr;
  uint8_t changed = 0;
  os::MappedFile file;
  if (TLOpen(nullptr, nullptr, &tl) != ZAR_SUCCESS || TLUpdateInterfaceList(tl, &changed) != ZAR_SUCCESS ||
      file.Open(zar_bench::kChurnLogName, sizeof(zar_bench::ChurnLog)) != 0) {
    state.SkipWithError("the library or the shared log cannot be opened");
    TLClose(tl);
    return;
  }
  auto &log = *static_cast<zar_bench::ChurnLog *>(file.Data());
  std::vector<std::string> names;
  for (const char *serial : {"CHURN-A", "CHURN-B"}) {
    const auto config = zar_bench::Square(serial, 16);
    names.push_back(config.model + "_#" + config.serial);
    zar_bench::PlugOnce(config);
  }
  if (!WaitUntil([&] { return zar_bench::Listed(tl, names[0]) && zar_bench::Listed(tl, names[1]); },
                 std::chrono::seconds(20))) {
    state.SkipWithError(zar_bench::kNoCamera);
    TLClose(tl);
    return;
  }
  std::optional<CallTimes> idle, churn;
  for (auto _ : state) {
    log.ready = log.go = log.done = log.opens = log.refused = 0;
    std::vector<std::unique_ptr<os::ChildProcess>> churners;
    for (int i = 0; i < kChurners; ++i) {
      churners.push_back(std::make_unique<os::ChildProcess>());
      // Half of them start with the other camera.
      const auto first = names[static_cast<size_t>(i) % 2], second = names[(static_cast<size_t>(i) + 1) % 2];
      if (churners.back()->Start(ChurnerPath(), {first, second}) != 0) break;
    }
    if (churners.size() != kChurners ||
        !WaitUntil([&] { return log.ready.load() == kChurners; }, std::chrono::seconds(30))) {
      state.SkipWithError("the churning processes did not start");
      break;
    }
    idle = TimeTableCalls(tl, kIdlePhase);
    log.go = 1;
    churn = TimeTableCalls(tl, kChurnPhase);
    log.done = 1;
    for (auto &churner : churners) {
      int exitCode = 0;
      churner->Wait(30000, &exitCode);
    }
  }
  TLClose(tl);
  if (!idle || !churn) {
    if (!state.error_occurred()) state.SkipWithError("a table call failed or did not list both cameras");
    return;
  }
  Report(state, "idle", *idle);
  Report(state, "churn", *churn);
  state.counters["p99_churn_over_idle"] =
      zar_bench::Percentile(churn->ms, 0.99) / zar_bench::Percentile(idle->ms, 0.99);
  const uint32_t opens = std::min(log.opens.load(), zar_bench::kChurnLogEntries);
  std::vector<double> openMs;
  for (uint32_t i = 0; i < opens; ++i) openMs.push_back(log.openMicros[i] / 1e3);
  state.counters["opens"] = opens;
  state.counters["opens_refused"] = log.refused.load();
  if (!openMs.empty()) state.counters["open_p99_ms"] = zar_bench::Percentile(openMs, 0.99);
  state.counters["opens_190ms_or_more"] =
      static_cast<double>(std::count_if(openMs.begin(), openMs.end(), [](double ms) { return ms >= 190; }));
}
BENCHMARK(BM_TableCallBesideOpenCloseChurn)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
