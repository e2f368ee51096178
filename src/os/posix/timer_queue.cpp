#include "os/timer_queue.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <new>

#include "os/event.h"
#include "os/posix/system_error.h"
#include "os/thread.h"

namespace oxa::ZarUsb::os {

namespace {
using Clock = std::chrono::steady_clock;

constexpr uint32_t kErrorInvalidHandle = 6; // ERROR_INVALID_HANDLE

struct Armed {
  Clock::time_point due;
  TimerQueue::Routine routine;
  void *context;
};
} // namespace

// One thread runs the routines, one at a time, in order of their due times.
struct TimerQueue::Native {
  std::mutex lock;
  std::condition_variable changed;
  std::map<TimerId, Armed> timers; // armed and not yet started
  TimerId next = 1;
  bool stop = false;
  Thread thread;
};

namespace {

void TimerThread(void *context) {
  auto &native = *static_cast<TimerQueue::Native *>(context);
  std::unique_lock<std::mutex> guard(native.lock);
  while (!native.stop) {
    auto first = native.timers.end();
    for (auto item = native.timers.begin(); item != native.timers.end(); ++item)
      if (first == native.timers.end() || item->second.due < first->second.due) first = item;
    if (first == native.timers.end()) {
      native.changed.wait(guard);
      continue;
    }
    // A copy: a cancel may erase the entry while this waits.
    if (const Clock::time_point due = first->second.due; Clock::now() < due) {
      native.changed.wait_until(guard, due);
      continue;
    }
    const Armed due = first->second;
    native.timers.erase(first);
    guard.unlock();
    due.routine(due.context);
    guard.lock();
  }
}

} // namespace

TimerQueue::~TimerQueue() { Delete(); }

uint32_t TimerQueue::Create() noexcept {
  if (m_native != nullptr) return 0;
  auto *native = new (std::nothrow) Native;
  if (native == nullptr) return WindowsError(ENOMEM);
  if (!native->thread.Start(TimerThread, native, false)) {
    delete native;
    return WindowsError(ENOMEM);
  }
  m_native = native;
  return 0;
}

uint32_t TimerQueue::Arm(Routine routine, void *context, uint32_t dueMs, TimerId *timer) noexcept {
  *timer = 0;
  if (m_native == nullptr) return kErrorInvalidHandle;
  std::lock_guard<std::mutex> guard(m_native->lock);
  const TimerId id = m_native->next++;
  try {
    m_native->timers.emplace(id, Armed{Clock::now() + std::chrono::milliseconds(dueMs), routine, context});
  } catch (...) {
    return WindowsError(ENOMEM);
  }
  m_native->changed.notify_all();
  *timer = id;
  return 0;
}

uint32_t TimerQueue::Cancel(TimerId timer) noexcept {
  if (m_native == nullptr || timer == 0) return kErrorInvalidHandle;
  std::lock_guard<std::mutex> guard(m_native->lock);
  m_native->timers.erase(timer);
  return 0;
}

uint32_t TimerQueue::Delete() noexcept {
  if (m_native == nullptr) return 0;
  {
    std::lock_guard<std::mutex> guard(m_native->lock);
    m_native->stop = true;
    m_native->timers.clear();
    m_native->changed.notify_all();
  }
  m_native->thread.Finish(Event::kInfinite);
  delete m_native;
  m_native = nullptr;
  return 0;
}

} // namespace oxa::ZarUsb::os
