#pragma once
// Ctrl-C caught for a scope: a program that must finish its work (end a
// stream, print what it did) hears of the user's interrupt instead of being
// ended by it.

#include <functional>
#include <memory>
#include <thread>

#include "os/event.h"

namespace oxa::ZarUsb::os {

// While it lives, Ctrl-C (SIGINT on POSIX; the console's Ctrl-C and
// Ctrl-Break on Windows) no longer ends the process: each calls the handler
// on the watch's own thread, never from a signal handler, so the handler may
// lock and call the library. One watch at a time per process.
class InterruptWatch {
public:
  // Null when the system has no thread or event for it, or a watch exists.
  static std::unique_ptr<InterruptWatch> Start(std::function<void()> handler) noexcept;
  // Gives Ctrl-C its former meaning back, then waits for a handler call in
  // progress: no call begins after it returns.
  ~InterruptWatch();
  InterruptWatch(const InterruptWatch &) = delete;
  InterruptWatch &operator=(const InterruptWatch &) = delete;

private:
  InterruptWatch() = default;
  void Run();
  // The system's part, one per backend: routes Ctrl-C to `interrupt` (which
  // its handler only sets), or gives Ctrl-C its former meaning back. Called
  // by Start and the destructor of the one watch; Route false when the
  // system refuses.
  static bool Route(Event *interrupt) noexcept;
  static void Unroute() noexcept;

  std::function<void()> m_handler;
  Event *m_interrupt = nullptr; // set on Ctrl-C (on POSIX by a signal handler: an eventfd write); never freed
  std::unique_ptr<Event> m_stop;
  std::thread m_thread;
  bool m_installed = false; // this watch holds the process's one place
};

} // namespace oxa::ZarUsb::os
