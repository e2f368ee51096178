#include "os/device_io.h"

namespace oxa::ZarUsb::os {

std::unique_ptr<DeviceIo> OpenSystemDevice(const char *, uint32_t *error) noexcept {
  *error = kErrorFileNotFound;
  return nullptr;
}

} // namespace oxa::ZarUsb::os
