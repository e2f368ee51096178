// Register reads through the exports (GCReadData, 48-byte requests) beside
// the same transfers as one raw ReadMem request, on emulated cameras.

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "driver/driver_interface.h"
#include "emulator/bus_devices.h"
#include "emulator/emulator.h"
#include "zar_usb.h"

using namespace oxa::ZarUsb;

namespace {

constexpr uint64_t kUserMemory = 0x1000;

// One camera opened through the exports, another through a raw driver
// interface (a camera opens once only).
struct Cameras {
  ZAR_TL_HANDLE tl = nullptr;
  ZAR_DEV_HANDLE device = nullptr;
  std::unique_ptr<CDriverInterface> raw;

  Cameras() {
    os::SetSecondDeviceSource(&emulator::BusDevices());
    emulator::CameraConfig config;
    config.serial = "BENCH-EXPORTS";
    emulator::Plug(config);
    config.serial = "BENCH-RAW";
    const uint32_t rawSlot = *emulator::Plug(config);
    TLOpen(nullptr, nullptr, &tl);
    for (int i = 0; i < 1000 && device == nullptr; ++i) {
      if (TLOpenDevice(tl, "USB", "ZC1000_#BENCH-EXPORTS", &device) != ZAR_SUCCESS)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (const auto &camera : emulator::ListCameras())
      if (camera.slot == rawSlot) raw = std::make_unique<CDriverInterface>(camera.path.c_str());
  }
};

Cameras &Shared() {
  static Cameras cameras;
  return cameras;
}

uint64_t AddressFor(uint64_t size) { return size > 0x120 ? kUserMemory : 0; }

void BM_GCReadData(benchmark::State &state) {
  Cameras &cameras = Shared();
  const auto bytes = static_cast<uint64_t>(state.range(0));
  std::vector<uint8_t> buffer(bytes);
  for (auto _ : state) {
    uint64_t size = bytes;
    if (GCReadData(cameras.device, 0, AddressFor(bytes), buffer.data(), &size) != ZAR_SUCCESS) {
      state.SkipWithError("GCReadData failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_GCReadData)->Arg(48)->Arg(4096);

void BM_RawReadMem(benchmark::State &state) {
  Cameras &cameras = Shared();
  const auto bytes = static_cast<uint64_t>(state.range(0));
  std::vector<uint8_t> buffer(bytes);
  for (auto _ : state) {
    uint64_t size = bytes;
    uint32_t word = 0;
    if (cameras.raw->ReadMem(1, AddressFor(bytes), buffer.data(), &size, &word) != 0 || word != 0) {
      state.SkipWithError("ReadMem failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_RawReadMem)->Arg(48)->Arg(4096);

} // namespace
