#include "os/interrupt.h"

#include <atomic>
#include <csignal>

namespace oxa::ZarUsb::os {

namespace {

// The event Ctrl-C sets; read by the signal handler, which only writes to
// its eventfd (async-signal-safe).
std::atomic<Event *> g_target{nullptr};
struct sigaction g_former;

extern "C" void OnInterrupt(int) {
  if (Event *event = g_target.load()) event->Set();
}

} // namespace

bool InterruptWatch::Route(Event *interrupt) noexcept {
  g_target = interrupt;
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  if (sigaction(SIGINT, &action, &g_former) == 0) return true;
  g_target = nullptr;
  return false;
}

void InterruptWatch::Unroute() noexcept {
  sigaction(SIGINT, &g_former, nullptr);
  g_target = nullptr;
}

} // namespace oxa::ZarUsb::os
