#include "emulator/bus_devices.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "driver/interface_classes.h"
#include "emulator/bus.h"
#include "emulator/emulator.h"
#include "emulator/virtual_driver.h"

namespace oxa::ZarUsb::emulator {

namespace {

// A process that lists emulated cameras says once, on standard error, what is
// wrong with ZAR_USB_EMULATION: without it a mistyped value would only show
// as no cameras.
void ReportProblemOnce() {
  static std::once_flag reported;
  std::call_once(reported, [] {
    const std::string problem = EmulationProblem();
    if (problem.empty()) return;
    std::fprintf(stderr, "ZAR_USB emulator: %s\n", problem.c_str());
  });
}

class BusSource final : public os::DeviceSource {
public:
  std::vector<os::DeviceInterfaceEntry> Members(const os::Guid &classGuid, uint32_t count) override {
    std::vector<os::DeviceInterfaceEntry> members;
    ReportProblemOnce();
    Bus *bus = Bus::Get();
    if (bus == nullptr) return members;
    Bus::Guard guard(*bus);
    for (uint32_t slot = 0; slot < kMaxCameras && members.size() < count; ++slot) {
      const CameraSlot &camera = guard.Layout().cameras[slot];
      const os::Guid &cameraClass = driver::kInterfaceClasses[camera.interfaceClass % driver::kInterfaceClassCount];
      if (camera.present != 0 && std::memcmp(&cameraClass, &classGuid, sizeof classGuid) == 0)
        members.push_back({0, DevicePath(slot, camera.generation, camera.interfaceClass), 0, false});
    }
    return members;
  }
  bool Owns(const char *path) const noexcept override { return IsEmulatedPath(path); }
  std::unique_ptr<os::DeviceIo> Open(const char *path, uint32_t *error) noexcept override {
    return OpenVirtualDriver(path, error);
  }
};

} // namespace

os::DeviceSource &BusDevices() noexcept {
  static BusSource source;
  return source;
}

void ConnectBusWhenEnabled() noexcept {
  if (EmulationEnabled()) os::SetSecondDeviceSource(&BusDevices());
}

} // namespace oxa::ZarUsb::emulator
