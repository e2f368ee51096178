#pragma once
// A queue of one-shot timers whose routines run on a thread of the queue
// (Windows' timer queue; a timer thread of its own on POSIX).
//
// Every member is thread-safe, routines of the queue included, except
// Create and Delete, which belong to the queue's owner. None blocks beyond a
// short internal lock, except Delete.

#include <cstdint>

namespace oxa::ZarUsb::os {

class TimerQueue {
public:
  using Routine = void (*)(void *context);
  using TimerId = uintptr_t; // 0: none

  TimerQueue() = default;
  // Deletes the queue as Delete does.
  ~TimerQueue();
  TimerQueue(const TimerQueue &) = delete;
  TimerQueue &operator=(const TimerQueue &) = delete;

  // Makes the queue. 0, or the system error (nothing is made then).
  uint32_t Create() noexcept;
  bool IsOpen() const noexcept { return m_native != nullptr; }

  // Arms a one-shot timer: routine(context) runs once, on a thread of the
  // queue, dueMs after this call, unless the timer is cancelled first. 0 with
  // *timer set, or the system error (*timer 0). A timer that has run stays
  // allocated until it is cancelled or the queue deleted.
  uint32_t Arm(Routine routine, void *context, uint32_t dueMs, TimerId *timer) noexcept;
  // Cancels the timer: its routine does not start after this returns. Does
  // not wait for a routine that has already started (it finishes on its
  // own), so a routine may cancel its own timer. Releases the timer in every
  // case. 0 (also when the routine was running), or the system error.
  uint32_t Cancel(TimerId timer) noexcept;
  // Cancels every timer, waits for a routine that is running to return, and
  // releases the queue. Blocks as long as that routine takes; never call it
  // from a routine of this queue. 0 or the system error; idempotent.
  uint32_t Delete() noexcept;

  struct Native; // the queue's state, defined by each backend

private:
  Native *m_native = nullptr;
};

} // namespace oxa::ZarUsb::os
