#include "os/interrupt.h"

#include <atomic>
#include <new>

namespace oxa::ZarUsb::os {

namespace {
// Whether a watch exists: one at a time per process.
std::atomic<bool> g_watching{false};
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
  bool none = false;
  if (!g_watching.compare_exchange_strong(none, true)) return nullptr;
  interrupt->Reset();
  try {
    watch->m_thread = std::thread([raw = watch.get()] { raw->Run(); });
  } catch (...) {
    g_watching = false;
    return nullptr;
  }
  if (!Route(interrupt)) {
    g_watching = false;
    return nullptr; // the destructor ends the thread
  }
  watch->m_installed = true;
  return watch;
}

InterruptWatch::~InterruptWatch() {
  if (m_installed) {
    Unroute();
    g_watching = false;
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
