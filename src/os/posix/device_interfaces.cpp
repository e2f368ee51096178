#include "os/device_interfaces.h"

namespace oxa::ZarUsb::os {

std::vector<DeviceInterfaceEntry> PresentDeviceInterfaces(const Guid &, uint32_t) { return {}; }

} // namespace oxa::ZarUsb::os
