#pragma once
// The emulated bus as the platform port's second device source: its cameras
// are members of their interface classes, their paths open the virtual
// driver.

#include "os/device_sources.h"

namespace oxa::ZarUsb::emulator {

// The source, valid until the process ends. Any thread.
os::DeviceSource &BusDevices() noexcept;

// Sets the bus as the port's second source when ZAR_USB_EMULATION is set.
// Called once, when the library loads.
void ConnectBusWhenEnabled() noexcept;

} // namespace oxa::ZarUsb::emulator
