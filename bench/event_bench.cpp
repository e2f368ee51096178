// Device event latency: an event raised on the emulated camera until the
// device callback runs, beside the same event reaching a GetEvent request
// sent straight to the driver (the emulator alone), 200 events each.
// Counters in microseconds: p50 and p99 of each path.

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "driver/driver_interface.h"
#include "driver/driver_requests.h"
#include "emulator/bus_devices.h"
#include "emulator/emulator.h"
#include "export_camera.h"
#include "percentile.h"
#include "zar_usb.h"

using namespace oxa::ZarUsb;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kEvents = 200;

std::atomic<int64_t> g_heardAt{0};

void Heard(uint32_t, void *, int64_t, void *) { g_heardAt = Clock::now().time_since_epoch().count(); }

// Microseconds from the raise until `heard` reports a time.
template <class Heard> std::vector<double> Latencies(uint32_t slot, Heard heard) {
  std::vector<double> latencies;
  for (int i = 0; i < kEvents; ++i) {
    const int64_t raised = Clock::now().time_since_epoch().count();
    if (!emulator::RaiseEvent(slot, 0x100 + i, &i, sizeof i)) return {};
    int64_t at = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    while ((at = heard()) == 0 && Clock::now() < deadline) std::this_thread::yield();
    if (at == 0) return {};
    latencies.push_back(std::chrono::duration<double, std::micro>(Clock::duration(at - raised)).count());
  }
  return latencies;
}

std::optional<uint32_t> SlotOf(const std::string &serial) {
  for (const auto &camera : emulator::ListCameras())
    if (camera.config.serial == serial) return camera.slot;
  return std::nullopt;
}

void BM_DeviceEventToCallback(benchmark::State &state) {
  os::SetSecondDeviceSource(&emulator::BusDevices());
  ZAR_TL_HANDLE tl = nullptr;
  TLOpen(nullptr, nullptr, &tl);
  emulator::Plug(zar_bench::Square("EVENT-LIB", 64));
  emulator::Plug(zar_bench::Square("EVENT-RAW", 64));
  ZAR_DEV_HANDLE device = nullptr;
  for (int i = 0; i < 1000 && !(zar_bench::Listed(tl, "ZC1000_#EVENT-LIB") && zar_bench::Listed(tl, "ZC1000_#EVENT-RAW")); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  TLOpenDevice(tl, "USB", "ZC1000_#EVENT-LIB", &device);
  const auto libSlot = SlotOf("EVENT-LIB"), rawSlot = SlotOf("EVENT-RAW");
  std::unique_ptr<CDriverInterface> raw;
  for (const auto &camera : emulator::ListCameras())
    if (rawSlot && camera.slot == *rawSlot) raw = std::make_unique<CDriverInterface>(camera.path.c_str());
  if (device == nullptr || !libSlot || !raw || !raw->IsOpen() || DevSetCallback(device, Heard, nullptr) != 0) {
    state.SkipWithError(zar_bench::kNoCamera);
    TLClose(tl);
    return;
  }
  std::vector<double> library, driverOnly;
  for (auto _ : state) {
    library = Latencies(*libSlot, [] { return g_heardAt.exchange(0); });
    driver::EventRecord record{};
    os::IoRequest request;
    // The request is pending before each raise, as the event thread's is.
    const auto send = [&] { return request.Prepare() && raw->GetEvent(&record, request) == os::kErrorIoPending; };
    if (!send()) break;
    driverOnly = Latencies(*rawSlot, [&]() -> int64_t {
      if (!request.Completion().Wait(0)) return 0;
      const int64_t at = Clock::now().time_since_epoch().count();
      return send() ? at : 0;
    });
    raw->CancelEvent(request);
  }
  if (library.empty() || driverOnly.empty()) {
    state.SkipWithError("an event was not delivered within 2 s");
  } else {
    state.counters["lib_p50_us"] = zar_bench::Percentile(library, 0.5);
    state.counters["lib_p99_us"] = zar_bench::Percentile(library, 0.99);
    state.counters["raw_p50_us"] = zar_bench::Percentile(driverOnly, 0.5);
    state.counters["raw_p99_us"] = zar_bench::Percentile(driverOnly, 0.99);
  }
  DevClose(device);
  TLClose(tl);
}
BENCHMARK(BM_DeviceEventToCallback)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
