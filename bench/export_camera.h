#pragma once
// A camera streaming through the exports, for the benchmarks that set other
// paths beside it: 8 library buffers announced and queued, frames waited for
// and requeued.

#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "emulator/emulator.h"
#include "zar_usb.h"

namespace zar_bench {

namespace emulator = oxa::ZarUsb::emulator;

constexpr uint32_t kBuffers = 8;

// Why a benchmark found no camera. Cameras stay plugged after a run (below),
// so in a namespace given through ZAR_USB_NAMESPACE, which outlives the run,
// the bus fills up after a few runs and refuses further plugs.
constexpr const char *kNoCamera = "no camera (is the namespace's emulated bus full?)";

inline emulator::CameraConfig Square(const std::string &serial, uint32_t side) {
  emulator::CameraConfig config;
  config.serial = serial;
  config.width = side;
  config.height = side;
  config.frameRateMilli = 0; // as fast as buffers come
  return config;
}

// Whether the transport layer lists a camera of that name.
inline bool Listed(ZAR_TL_HANDLE tl, const std::string &name) {
  uint32_t count = 0;
  TLGetNumDevices(tl, "USB", &count);
  for (uint32_t i = 0; i < count; ++i) {
    char listed[260] = {};
    if (TLGetDeviceName(tl, "USB", i, listed, sizeof listed) == ZAR_SUCCESS && name == listed) return true;
  }
  return false;
}

// Cameras stay plugged when a benchmark ends: a plug or unplug makes the
// monitor rescan, holding the camera table (which every stream operation
// reads) for 100 ms or more, and no rescan may fall into a timed batch. Each
// camera is opened only once the table lists it, so the rescan of its plug
// has ended.

// The slot of the camera with that serial number, plugged now unless it is
// plugged already: a benchmark runs several times while its iterations are
// sized, and a camera each time would fill the bus.
inline std::optional<uint32_t> PlugOnce(const emulator::CameraConfig &config) {
  for (const auto &camera : emulator::ListCameras())
    if (camera.config.serial == config.serial) return camera.slot;
  return emulator::Plug(config);
}

// A camera streaming through the exports: stream created, 8 library buffers
// announced and queued.
struct ExportCamera {
  ZAR_DEV_HANDLE device = nullptr;
  ZAR_DS_HANDLE stream = nullptr;

  ExportCamera(ZAR_TL_HANDLE tl, const emulator::CameraConfig &config) {
    PlugOnce(config);
    const std::string name = config.model + "_#" + config.serial;
    for (int i = 0; i < 1000 && device == nullptr; ++i)
      if (TLOpenDevice(tl, "USB", name.c_str(), &device) != ZAR_SUCCESS)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (device == nullptr || DevCreateDataStream(device, 0, &stream) != ZAR_SUCCESS) return;
    for (uint32_t i = 0; i < kBuffers; ++i) {
      uint32_t id = 0;
      DSAllocAndAnnounceBuffer(stream, config.width * config.height, nullptr, nullptr, &id);
      DSQueueBuffer(stream, id);
    }
  }
  ~ExportCamera() {
    DSClose(stream);
    DevClose(device);
  }
  ExportCamera(const ExportCamera &) = delete;
  ExportCamera &operator=(const ExportCamera &) = delete;
  // Frames through DSWaitForBuffer and DSQueueBuffer; false on a failure.
  bool Frames(int count) const {
    for (int i = 0; i < count; ++i) {
      ZAR_WAIT_RESULT result;
      if (DSWaitForBuffer(stream, 2000, 0, &result, nullptr) != ZAR_SUCCESS) return false;
      if (DSQueueBuffer(stream, result.iID) != ZAR_SUCCESS) return false;
    }
    return true;
  }
};

} // namespace zar_bench
