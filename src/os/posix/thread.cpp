#include "os/thread.h"

#include <new>
#include <pthread.h>

#include "os/event.h"

namespace oxa::ZarUsb::os {

struct Thread::Record {
  void (*run)(void *);
  void *argument;
  std::unique_ptr<Event> finished;
  pthread_t thread;
};

namespace {
void *Trampoline(void *context) {
  auto *start = static_cast<Thread::Record *>(context);
  start->run(start->argument);
  start->finished->Set();
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
  delete start;
  m_native = nullptr;
  return true;
}

} // namespace oxa::ZarUsb::os
