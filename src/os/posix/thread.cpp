#include "os/thread.h"

#include <atomic>
#include <new>
#include <pthread.h>

#include "os/event.h"

namespace oxa::ZarUsb::os {

struct Thread::Record {
  void (*run)(void *);
  void *argument;
  std::unique_ptr<Event> finished;
  pthread_t thread;
  // The thread and its Thread object, while each still needs the record: the
  // one that lets go last after a Detach frees it.
  std::atomic<int> holders{2};
};

namespace {
void *Trampoline(void *context) {
  auto *start = static_cast<Thread::Record *>(context);
  start->run(start->argument);
  start->finished->Set();
  if (start->holders.fetch_sub(1) == 1) delete start;
  return nullptr;
}
} // namespace

Thread::~Thread() { Finish(Event::kInfinite); }

bool Thread::Start(void (*run)(void *), void *argument, bool highestPriority) noexcept {
  auto *start = new (std::nothrow) Record{run, argument, Event::Create(true), {}};
  if (start == nullptr || !start->finished) {
    delete start;
    return false;
  }
  if (pthread_create(&start->thread, nullptr, Trampoline, start) != 0) {
    delete start;
    return false;
  }
  // POSIX threads of normal scheduling have no priority levels to raise.
  (void)highestPriority;
  m_native = start;
  return true;
}

bool Thread::Finish(uint32_t milliseconds) noexcept {
  auto *start = static_cast<Thread::Record *>(m_native);
  if (start == nullptr) return true;
  if (!start->finished->Wait(milliseconds)) return false;
  pthread_join(start->thread, nullptr);
  m_native = nullptr;
  // The thread may still be on its way out of the trampoline.
  if (start->holders.fetch_sub(1) == 1) delete start;
  return true;
}

void Thread::Detach() noexcept {
  auto *start = static_cast<Thread::Record *>(m_native);
  if (start == nullptr) return;
  m_native = nullptr;
  pthread_detach(start->thread);
  if (start->holders.fetch_sub(1) == 1) delete start;
}

} // namespace oxa::ZarUsb::os
