// Driver requests on the emulator: one register read, and frames at
// unlimited rate beside memcpy of the same size.

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "driver/driver_interface.h"
#include "driver/driver_requests.h"
#include "emulator/bus_devices.h"
#include "emulator/emulator.h"
#include "export_camera.h"

using namespace oxa::ZarUsb;

namespace {

// An emulated camera plugged for one benchmark, opened through the driver.
struct Camera {
  std::optional<uint32_t> slot;
  std::unique_ptr<CDriverInterface> driver; // null when no camera could be plugged
  explicit Camera(uint32_t frameBytes) {
    os::SetSecondDeviceSource(&emulator::BusDevices());
    emulator::CameraConfig config;
    config.serial = "BENCH";
    config.width = 1024;
    config.height = frameBytes / 1024;
    config.frameRateMilli = 0;
    slot = emulator::Plug(config);
    for (const auto &camera : emulator::ListCameras())
      if (slot && camera.slot == *slot) driver = std::make_unique<CDriverInterface>(camera.path.c_str());
  }
  ~Camera() {
    driver.reset();
    if (slot) emulator::Unplug(*slot);
  }
};

void BM_ReadMem48(benchmark::State &state) {
  Camera camera(65536);
  if (!camera.driver) return state.SkipWithError(zar_bench::kNoCamera);
  uint8_t data[48];
  for (auto _ : state) {
    uint64_t size = 48;
    uint32_t word = 0;
    if (camera.driver->ReadMem(1, 0, data, &size, &word) != 0 || word != 0) state.SkipWithError("ReadMem failed");
    benchmark::DoNotOptimize(data);
  }
}
BENCHMARK(BM_ReadMem48);

void BM_EmulatorFrames(benchmark::State &state) {
  const auto frameBytes = static_cast<uint32_t>(state.range(0));
  Camera camera(frameBytes);
  if (!camera.driver) return state.SkipWithError(zar_bench::kNoCamera);
  std::vector<std::vector<uint8_t>> buffers(8, std::vector<uint8_t>(frameBytes));
  uint32_t word = 0;
  for (auto &buffer : buffers) {
    camera.driver->LockBuffer(buffer.data(), frameBytes, &word);
    camera.driver->QueueBuffer(driver::DriverTag(buffer.data()), &word);
  }
  camera.driver->StartStopStream(1, &word);
  for (auto _ : state) {
    driver::BufferCompletion done{};
    if (camera.driver->GetBuffer(2000, &done) != 0) {
      state.SkipWithError("no frame");
      break;
    }
    camera.driver->QueueBuffer(done.tag, &word);
  }
  camera.driver->StartStopStream(0, &word);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * frameBytes);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_EmulatorFrames)->Arg(64 << 10)->Arg(4 << 20)->UseRealTime();

void BM_Memcpy(benchmark::State &state) {
  const auto bytes = static_cast<size_t>(state.range(0));
  std::vector<uint8_t> from(bytes, 1), to(bytes);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), bytes);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_Memcpy)->Arg(64 << 10)->Arg(4 << 20);

} // namespace
