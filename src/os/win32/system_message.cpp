#include "os/system_message.h"

#include <string>
#include <windows.h>

#include "os/win32/monitor_window_title.h"

namespace oxa::ZarUsb::os {

// An empty title matches only a window without one: the default namespace
// never reaches the window of a named one.
bool PostSystemMessage(uint32_t message, uint64_t wParam) noexcept {
  std::string title;
  try {
    title = MonitorWindowTitle();
  } catch (...) {
    return false;
  }
  HWND window = FindWindowA(kSystemMonitorWindowClass, title.c_str());
  return window != nullptr && PostMessageA(window, message, static_cast<WPARAM>(wParam), 0) != FALSE;
}

} // namespace oxa::ZarUsb::os
