// Plug latency across processes: a camera plugged into (or unplugged from)
// the emulator until the transport-layer callback runs in another process
// that has the library open (plug/plug_listener.cpp), beside the time until
// this process, which holds the hot-plug monitor, finds the change in the
// camera table. The table shows it when the monitor's scan ends, and the
// scan starts with a pause of 100 ms: that is the floor of both paths.
// 100 plugs and 100 unplugs. Counters in milliseconds: p50 and p99 of each
// path, and this process's wall and CPU time per event.

#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

#include "export_camera.h"
#include "os/child_process.h"
#include "os/mapped_file.h"
#include "percentile.h"
#include "plug/plug_log.h"
#include "process_clock.h"
#include "zar_usb.h"

using namespace oxa::ZarUsb;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kCycles = 100;
constexpr auto kEventWait = std::chrono::seconds(3);

// Polls the condition every millisecond: the time it held, or nullopt when
// the wait passed.
std::optional<Clock::time_point> WaitUntil(const std::function<bool()> &condition,
                                           Clock::duration wait = kEventWait) {
  const auto deadline = Clock::now() + wait;
  for (;;) {
    if (condition()) return Clock::now();
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

std::string ListenerPath() {
  const std::filesystem::path self(os::ExecutablePath());
  return (self.parent_path() / ("zar_plug_listener" + self.extension().string())).string();
}

struct PlugLatencies {
  std::vector<double> heard, listed; // milliseconds from the plug or unplug
  std::string failure;

  // One plug or unplug: `change` makes it, `shown` tells when the table shows
  // it, and the listener's next callback must be `event`.
  void Measure(zar_bench::PlugLog &log, const std::function<bool()> &change, const std::function<bool()> &shown,
               uint32_t event) {
    const uint32_t index = log.heard.load();
    const auto changed = Clock::now();
    if (!change()) {
      failure = "the emulator refused the plug or unplug";
      return;
    }
    const auto listedAt = WaitUntil(shown);
    if (!listedAt || !WaitUntil([&] { return log.heard.load(std::memory_order_acquire) > index; })) {
      failure = "the change did not reach the table and the other process within 3 s";
      return;
    }
    if (log.entries[index].event != event) {
      failure = "the other process heard another event than the change";
      return;
    }
    const auto ms = [&](Clock::time_point at) { return std::chrono::duration<double, std::milli>(at - changed).count(); };
    heard.push_back(ms(Clock::time_point(Clock::duration(log.entries[index].at))));
    listed.push_back(ms(*listedAt));
  }
};

void BM_PlugToCallbackInOtherProcess(benchmark::State &state) {
  ZAR_TL_HANDLE tl = nullptr;
  uint8_t changed = 0;
  os::MappedFile file;
  os::ChildProcess listener;
  if (TLOpen(nullptr, nullptr, &tl) != ZAR_SUCCESS || TLUpdateInterfaceList(tl, &changed) != ZAR_SUCCESS ||
      file.Open(zar_bench::kPlugLogName, sizeof(zar_bench::PlugLog)) != 0) {
    state.SkipWithError("the library or the shared log cannot be opened");
    TLClose(tl);
    return;
  }
  auto &log = *static_cast<zar_bench::PlugLog *>(file.Data());
  if (listener.Start(ListenerPath(), {}) != 0 || !WaitUntil([&] { return log.listening.load() != 0; },
                                                             std::chrono::seconds(20))) {
    state.SkipWithError("the listener process did not start");
    TLClose(tl);
    return;
  }
  const auto config = zar_bench::Square("PLUG-BENCH", 16);
  const std::string name = config.model + "_#" + config.serial;
  PlugLatencies latencies;
  double wallNs = 0, cpuNs = 0;
  for (auto _ : state) {
    const zar_bench::ProcessClock start;
    for (int i = 0; i < kCycles && latencies.failure.empty(); ++i) {
      std::optional<uint32_t> slot;
      latencies.Measure(
          log, [&] { return (slot = emulator::Plug(config)).has_value(); },
          [&] { return zar_bench::Listed(tl, name); }, USB_PLUGGED_DEVICE);
      if (!slot) break;
      latencies.Measure(
          log, [&] { return emulator::Unplug(*slot); }, [&] { return !zar_bench::Listed(tl, name); },
          USB_UNPLUGGED_DEVICE);
    }
    zar_bench::AddSince(start, &wallNs, &cpuNs);
  }
  log.done.store(1);
  int exitCode = 0;
  listener.Wait(10000, &exitCode);
  TLClose(tl);
  if (!latencies.failure.empty()) {
    state.SkipWithError(latencies.failure.c_str());
    return;
  }
  const double events = static_cast<double>(latencies.heard.size());
  state.counters["heard_p50_ms"] = zar_bench::Percentile(latencies.heard, 0.5);
  state.counters["heard_p99_ms"] = zar_bench::Percentile(latencies.heard, 0.99);
  state.counters["listed_p50_ms"] = zar_bench::Percentile(latencies.listed, 0.5);
  state.counters["listed_p99_ms"] = zar_bench::Percentile(latencies.listed, 0.99);
  state.counters["events"] = events;
  state.counters["wall_ms_per_event"] = wallNs / 1e6 / events;
  state.counters["cpu_ms_per_event"] = cpuNs / 1e6 / events;
}
BENCHMARK(BM_PlugToCallbackInOtherProcess)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
