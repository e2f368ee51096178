#pragma once
// A native thread (CreateThread, pthread) for the library's own long-lived
// threads, whose end must be awaited while Windows' loader lock is held.

#include <cstdint>
#include <memory>

namespace oxa::ZarUsb::os {

class Event;

class Thread {
public:
  Thread() = default;
  // Waits for a started thread to finish, as Finish does without limit.
  ~Thread();
  Thread(const Thread &) = delete;
  Thread &operator=(const Thread &) = delete;

  // Starts run(argument) on a new thread, at the highest normal priority
  // when asked. False when no thread could be made.
  bool Start(void (*run)(void *), void *argument, bool highestPriority) noexcept;
  bool Started() const noexcept { return m_native != nullptr; }
  // Waits up to the given time until run() has returned; true then, and the
  // thread's resources are released. It waits for run() alone, not for the
  // system's end of the thread, so it may be called while the Windows loader
  // lock is held (library unload). Never from the thread itself.
  bool Finish(uint32_t milliseconds) noexcept;
  // Lets the thread run on unawaited: its resources are released when run()
  // returns (or now, when it has). Afterwards Started() is false. Never
  // blocks; may be called from the thread itself.
  void Detach() noexcept;

  struct Record; // the thread's start data, defined by each backend

private:
  void *m_native = nullptr; // the platform's thread record
};

} // namespace oxa::ZarUsb::os
