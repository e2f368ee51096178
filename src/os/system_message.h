#pragma once
// Messages to the namespace's system monitor window, the one place where a
// process hears about devices coming and going and about power changes.

#include <cstdint>

namespace oxa::ZarUsb::os {

constexpr uint32_t kWmDeviceChange = 0x0219;
constexpr uint32_t kWmPowerBroadcast = 0x0218;
constexpr uint64_t kDbtDevNodesChanged = 0x0007;
constexpr uint64_t kPbtApmSuspend = 0x0004;
constexpr uint64_t kPbtApmResumeAutomatic = 0x0012;

// The monitor window's class name, and the name of its POSIX endpoint.
constexpr const char *kSystemMonitorWindowClass = "UsbSystemMonitorWindow";

// One message as the POSIX endpoint receives it: a datagram of 16 bytes.
struct SystemMessage {
  uint32_t message;
  uint32_t reserved;
  uint64_t wParam;
};
static_assert(sizeof(SystemMessage) == 16);

// Posts the message to the monitor window of this namespace without waiting
// for it to be handled; a power message is queued, not dropped, while the
// window is busy. False when there is no such window (not an error for the sender: no
// process is watching). Any thread.
bool PostSystemMessage(uint32_t message, uint64_t wParam) noexcept;

} // namespace oxa::ZarUsb::os
