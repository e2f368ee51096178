#include "driver/driver_interface.h"
#include "emulator/virtual_driver.h"

namespace oxa::ZarUsb {

std::unique_ptr<os::DeviceIo> OpenDevicePath(const char *path, uint32_t *error) noexcept {
  if (emulator::IsEmulatedPath(path)) return emulator::OpenVirtualDriver(path, error);
  return os::OpenSystemDevice(path, error);
}

} // namespace oxa::ZarUsb
