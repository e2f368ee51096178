#include "os/system_message.h"

#include <windows.h>

#include "os/namespace.h"

namespace oxa::ZarUsb::os {

// The window carries the class name; its title names the namespace.
bool PostSystemMessage(uint32_t message, uint64_t wParam) noexcept {
  HWND window = FindWindowA(kSystemMonitorWindowClass, NamespacedName(kSystemMonitorWindowClass).c_str());
  return window != nullptr && PostMessageA(window, message, static_cast<WPARAM>(wParam), 0) != FALSE;
}

} // namespace oxa::ZarUsb::os
