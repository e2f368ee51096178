#pragma once
// What this process does with each plug, unplug and power event that its
// callback thread receives.

namespace oxa::ZarUsb {

struct NotificationMessage;

// On the callback thread, one message at a time, holding no library lock
// while application callbacks run.
void HandleNotification(const NotificationMessage &message);

} // namespace oxa::ZarUsb
