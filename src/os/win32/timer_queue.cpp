#include "os/timer_queue.h"

#include <mutex>
#include <new>
#include <set>
#include <windows.h>

namespace oxa::ZarUsb::os {

namespace {

// A timer's routine and context, handed to the system's callback.
struct Armed {
  TimerQueue::Routine routine;
  void *context;
  HANDLE timer;
};

VOID CALLBACK Trampoline(PVOID parameter, BOOLEAN) {
  auto *armed = static_cast<Armed *>(parameter);
  armed->routine(armed->context);
}

} // namespace

// The records of timers that a callback may still read: freed once the
// system has let their timer go.
struct TimerQueue::Native {
  HANDLE queue;
  std::mutex lock;
  std::set<Armed *> armed;
};

TimerQueue::~TimerQueue() { Delete(); }

uint32_t TimerQueue::Create() noexcept {
  if (m_native != nullptr) return 0;
  auto *native = new (std::nothrow) Native{CreateTimerQueue(), {}, {}};
  if (native == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  if (native->queue == nullptr) {
    const DWORD error = GetLastError();
    delete native;
    return error;
  }
  m_native = native;
  return 0;
}

uint32_t TimerQueue::Arm(Routine routine, void *context, uint32_t dueMs, TimerId *timer) noexcept {
  *timer = 0;
  if (m_native == nullptr) return ERROR_INVALID_HANDLE;
  auto *armed = new (std::nothrow) Armed{routine, context, nullptr};
  if (armed == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  std::lock_guard<std::mutex> guard(m_native->lock);
  try {
    m_native->armed.insert(armed);
  } catch (...) {
    delete armed;
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  if (!CreateTimerQueueTimer(&armed->timer, m_native->queue, Trampoline, armed, dueMs, 0, WT_EXECUTEDEFAULT)) {
    const DWORD error = GetLastError();
    m_native->armed.erase(armed);
    delete armed;
    return error;
  }
  *timer = reinterpret_cast<TimerId>(armed);
  return 0;
}

// Without a completion event the system does not wait for a running
// callback: it reports ERROR_IO_PENDING and lets the timer go once the
// callback has returned, so the record stays until the queue is deleted.
uint32_t TimerQueue::Cancel(TimerId timer) noexcept {
  auto *armed = reinterpret_cast<Armed *>(timer);
  if (m_native == nullptr) return ERROR_INVALID_HANDLE;
  std::lock_guard<std::mutex> guard(m_native->lock);
  if (armed == nullptr || m_native->armed.count(armed) == 0) return ERROR_INVALID_HANDLE;
  if (DeleteTimerQueueTimer(m_native->queue, armed->timer, nullptr)) {
    m_native->armed.erase(armed);
    delete armed;
    return 0;
  }
  const DWORD error = GetLastError();
  return error == ERROR_IO_PENDING ? 0 : error;
}

uint32_t TimerQueue::Delete() noexcept {
  if (m_native == nullptr) return 0;
  // INVALID_HANDLE_VALUE: returns once every running callback has returned.
  const DWORD error = DeleteTimerQueueEx(m_native->queue, INVALID_HANDLE_VALUE) ? 0 : GetLastError();
  for (Armed *armed : m_native->armed) delete armed;
  delete m_native;
  m_native = nullptr;
  return error;
}

} // namespace oxa::ZarUsb::os
