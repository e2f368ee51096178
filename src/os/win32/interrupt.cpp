#include "os/interrupt.h"

#include <atomic>
#include <new>
#include <windows.h>

namespace oxa::ZarUsb::os {

namespace {

// The event of the watch that exists. The console calls the routine on a
// thread of its own; it only sets the event.
std::atomic<Event *> g_target{nullptr};

BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
  Event *event = g_target.load();
  if (event == nullptr) return FALSE;
  event->Set();
  return TRUE;
}

} // namespace

std::unique_ptr<InterruptWatch> InterruptWatch::Start(std::function<void()> handler) noexcept {
  std::unique_ptr<InterruptWatch> watch(new (std::nothrow) InterruptWatch);
  if (!watch) return nullptr;
  watch->m_handler = std::move(handler);
  // The event outlives every watch: a Ctrl-C that comes as a watch ends may
  // still set it, and a set left over is cleared here.
  static Event *const interrupt = Event::Create(false).release();
  watch->m_interrupt = interrupt;
  watch->m_stop = Event::Create(true);
  if (interrupt == nullptr || !watch->m_stop) return nullptr;
  Event *none = nullptr;
  if (!g_target.compare_exchange_strong(none, interrupt)) return nullptr;
  interrupt->Reset();
  try {
    watch->m_thread = std::thread([raw = watch.get()] { raw->Run(); });
  } catch (...) {
    g_target = nullptr;
    return nullptr;
  }
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  watch->m_installed = true;
  return watch;
}

InterruptWatch::~InterruptWatch() {
  if (m_installed) {
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    g_target = nullptr;
  }
  if (m_thread.joinable()) {
    m_stop->Set();
    m_thread.join();
  }
}

void InterruptWatch::Run() {
  Event *const events[] = {m_stop.get(), m_interrupt};
  while (Event::WaitAny(events, 2, Event::kInfinite) == 1) m_handler();
}

} // namespace oxa::ZarUsb::os
