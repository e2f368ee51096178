#include "os/thread.h"

#include <atomic>
#include <new>
#include <windows.h>

#include "os/event.h"

namespace oxa::ZarUsb::os {

struct Thread::Record {
  void (*run)(void *);
  void *argument;
  std::unique_ptr<Event> finished;
  HANDLE thread;
  // The thread and its Thread object, while each still needs the record: the
  // one that lets go last after a Detach frees it.
  std::atomic<int> holders{2};
};

namespace {
DWORD WINAPI Trampoline(void *context) {
  auto *start = static_cast<Thread::Record *>(context);
  start->run(start->argument);
  start->finished->Set();
  if (start->holders.fetch_sub(1) == 1) delete start;
  return 0;
}
} // namespace

Thread::~Thread() { Finish(Event::kInfinite); }

bool Thread::Start(void (*run)(void *), void *argument, bool highestPriority) noexcept {
  auto *start = new (std::nothrow) Record{run, argument, Event::Create(true), nullptr};
  if (start == nullptr || !start->finished) {
    delete start;
    return false;
  }
  start->thread = CreateThread(nullptr, 0, Trampoline, start, CREATE_SUSPENDED, nullptr);
  if (start->thread == nullptr) {
    delete start;
    return false;
  }
  if (highestPriority) SetThreadPriority(start->thread, THREAD_PRIORITY_HIGHEST);
  ResumeThread(start->thread);
  m_native = start;
  return true;
}

// Waits on the event the thread sets when run() returned, not on the thread
// handle: a thread's end needs the loader lock, which an unloading library
// holds while it waits here.
bool Thread::Finish(uint32_t milliseconds) noexcept {
  auto *start = static_cast<Thread::Record *>(m_native);
  if (start == nullptr) return true;
  if (!start->finished->Wait(milliseconds)) return false;
  CloseHandle(start->thread);
  m_native = nullptr;
  // The thread may still be on its way out of the trampoline.
  if (start->holders.fetch_sub(1) == 1) delete start;
  return true;
}

void Thread::Detach() noexcept {
  auto *start = static_cast<Thread::Record *>(m_native);
  if (start == nullptr) return;
  m_native = nullptr;
  CloseHandle(start->thread);
  if (start->holders.fetch_sub(1) == 1) delete start;
}

} // namespace oxa::ZarUsb::os
