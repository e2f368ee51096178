// Register reads through the exports (GCReadData, 48-byte requests) beside
// raw ReadMem requests, on emulated cameras.

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "driver/driver_interface.h"
#include "driver/driver_requests.h"
#include "emulator/bus_devices.h"
#include "emulator/emulator.h"
#include "export_camera.h"
#include "process_clock.h"
#include "zar_usb.h"

using namespace oxa::ZarUsb;

namespace {

constexpr uint64_t kUserMemory = 0x1000;

// One camera opened through the exports, another through a raw driver
// interface (a camera opens once only).
struct Cameras {
  ZAR_TL_HANDLE tl = nullptr;
  ZAR_DEV_HANDLE device = nullptr;
  std::unique_ptr<CDriverInterface> raw; // null when no camera could be plugged

  Cameras() {
    os::SetSecondDeviceSource(&emulator::BusDevices());
    emulator::CameraConfig config;
    config.serial = "BENCH-EXPORTS";
    emulator::Plug(config);
    config.serial = "BENCH-RAW";
    const std::optional<uint32_t> rawSlot = emulator::Plug(config);
    TLOpen(nullptr, nullptr, &tl);
    for (int i = 0; i < 1000 && device == nullptr; ++i) {
      if (TLOpenDevice(tl, "USB", "ZC1000_#BENCH-EXPORTS", &device) != ZAR_SUCCESS)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (const auto &camera : emulator::ListCameras())
      if (rawSlot && camera.slot == *rawSlot) raw = std::make_unique<CDriverInterface>(camera.path.c_str());
  }
};

Cameras &Shared() {
  static Cameras cameras;
  return cameras;
}

// The cost of the register path beside the request it wraps. Each iteration
// times a batch of GCReadData calls through the device handle and, right
// after, raw 48-byte ReadMem requests for as many chunks as those calls cut
// their reads into; both batches run on the same thread under the same load,
// so the ratios compare like with like. Tracing is off. Counters:
// export_ns per call, raw_ns per 48-byte request, wall_ratio and cpu_ratio
// (process CPU time) of the export's time per chunk to the raw request's.
constexpr uint64_t kChunk = 48;
constexpr int kBatch = 64;

void BM_RegisterPathCost(benchmark::State &state) {
  Cameras &cameras = Shared();
  if (!cameras.raw || cameras.device == nullptr) return state.SkipWithError(zar_bench::kNoCamera);
  const auto bytes = static_cast<uint64_t>(state.range(0));
  const uint64_t address = bytes > kChunk ? kUserMemory : 0;
  const uint64_t chunks = (bytes + kChunk - 1) / kChunk;
  std::vector<uint8_t> buffer(bytes);
  double exportWall = 0, exportCpu = 0, rawWall = 0, rawCpu = 0;
  bool failed = false;
  for (auto _ : state) {
    const zar_bench::ProcessClock exports;
    for (int i = 0; i < kBatch; ++i) {
      uint64_t size = bytes;
      failed |= GCReadData(cameras.device, 0, address, buffer.data(), &size) != ZAR_SUCCESS;
    }
    zar_bench::AddSince(exports, &exportWall, &exportCpu);
    const zar_bench::ProcessClock raw;
    for (uint64_t i = 0; i < kBatch * chunks; ++i) {
      uint64_t size = kChunk;
      uint32_t word = 0;
      failed |= cameras.raw->ReadMem(driver::kAccessCamera, address + (i % (bytes / kChunk)) * kChunk, buffer.data(), &size,
                                     &word) != 0 ||
                word != 0;
    }
    zar_bench::AddSince(raw, &rawWall, &rawCpu);
  }
  if (failed) state.SkipWithError("a read failed");
  const double calls = static_cast<double>(state.iterations()) * kBatch;
  state.counters["export_ns"] = exportWall / calls;
  state.counters["raw_ns"] = rawWall / (calls * static_cast<double>(chunks));
  state.counters["wall_ratio"] = rawWall > 0 ? exportWall / rawWall : 0;
  state.counters["cpu_ratio"] = rawCpu > 0 ? exportCpu / rawCpu : 0;
}
BENCHMARK(BM_RegisterPathCost)->Arg(48)->Arg(4096)->MinTime(2.0);

} // namespace
