#pragma once
// Telling every enrolled process about plug, unplug and power events.

#include <cstdint>

namespace oxa::ZarUsb {

// Sends the event (with the table index and the camera's 260-byte name, or
// none) to every process enrolled in the table. Takes the table lock.
void BroadcastEvent(uint32_t event, int32_t index, const char *name);

} // namespace oxa::ZarUsb
