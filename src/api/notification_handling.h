#pragma once
// What this process does with each plug, unplug and power event that its
// callback thread receives.

#include <cstdint>
#include <memory>

namespace oxa::ZarUsb {

struct NotificationMessage;
class CDevice;

// On the callback thread, one message at a time, holding no library lock
// while application callbacks run. An unplug of a camera this process holds
// first tells the device's callbacks (USB_UNPLUGGED_DEVICE with the name),
// closes the device and empties the record, then tells the transport-layer
// callbacks; while the process sleeps the device is parked instead, and
// plugs and unplugs reach no transport-layer callback (api/sleep_recovery.h).
// A callback may call back into the library, even close its own device or
// the transport layer.
void HandleNotification(const NotificationMessage &message);

// The open device of this process whose camera is the record `index` (the
// one its driver there links to), pinned; null when there is none.
std::shared_ptr<CDevice> HeldDevice(int32_t index);

} // namespace oxa::ZarUsb
