#include "os/interrupt.h"

#include <atomic>
#include <csignal>
#include <new>

namespace oxa::ZarUsb::os {

namespace {

// The event of the watch that exists; read by the signal handler, which only
// writes to its eventfd (async-signal-safe).
std::atomic<Event *> g_target{nullptr};
struct sigaction g_former;

extern "C" void OnInterrupt(int) {
  if (Event *event = g_target.load()) event->Set();
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
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, &g_former);
  watch->m_installed = true;
  return watch;
}

InterruptWatch::~InterruptWatch() {
  if (m_installed) {
    sigaction(SIGINT, &g_former, nullptr);
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
