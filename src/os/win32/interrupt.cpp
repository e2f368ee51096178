#include "os/interrupt.h"

#include <atomic>
#include <windows.h>

namespace oxa::ZarUsb::os {

namespace {

// The event Ctrl-C sets. The console calls the routine on a thread of its
// own; it only sets the event.
std::atomic<Event *> g_target{nullptr};

BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
  Event *event = g_target.load();
  if (event == nullptr) return FALSE;
  event->Set();
  return TRUE;
}

} // namespace

bool InterruptWatch::Route(Event *interrupt) noexcept {
  g_target = interrupt;
  if (SetConsoleCtrlHandler(OnConsoleControl, TRUE)) return true;
  g_target = nullptr;
  return false;
}

void InterruptWatch::Unroute() noexcept {
  SetConsoleCtrlHandler(OnConsoleControl, FALSE);
  g_target = nullptr;
}

} // namespace oxa::ZarUsb::os
