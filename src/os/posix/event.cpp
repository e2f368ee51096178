#include "os/event.h"

#include <cerrno>
#include <chrono>
#include <new>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

namespace oxa::ZarUsb::os {

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until deadline for poll(): -1 without limit.
int Remaining(uint32_t milliseconds, Clock::time_point start) {
  if (milliseconds == Event::kInfinite) return -1;
  const auto passed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  return passed >= milliseconds ? 0 : static_cast<int>(milliseconds - passed);
}

// Takes the signal of an auto-reset event; false when another waiter was first.
bool Consume(int fd) {
  uint64_t value;
  return ::read(fd, &value, sizeof value) == sizeof value;
}

} // namespace

std::unique_ptr<Event> Event::Create(bool manualReset) noexcept {
  const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) return nullptr;
  std::unique_ptr<Event> event(new (std::nothrow) Event(fd, manualReset));
  if (!event) ::close(fd);
  return event;
}

Event::~Event() { ::close(static_cast<int>(m_native)); }

void Event::Set() noexcept {
  const uint64_t one = 1;
  const ssize_t ignored = ::write(static_cast<int>(m_native), &one, sizeof one);
  (void)ignored;
}

void Event::Reset() noexcept { Consume(static_cast<int>(m_native)); }

bool Event::Wait(uint32_t milliseconds) noexcept {
  Event *self = this;
  return WaitAny(&self, 1, milliseconds) == 0;
}

int Event::WaitAny(Event *const *events, size_t count, uint32_t milliseconds) noexcept {
  const auto start = Clock::now();
  pollfd fds[64];
  if (count > 64) return -1;
  for (size_t i = 0; i < count; ++i) fds[i] = {static_cast<int>(events[i]->m_native), POLLIN, 0};
  for (;;) {
    const int ready = ::poll(fds, count, Remaining(milliseconds, start));
    if (ready < 0 && errno != EINTR) return -1;
    if (ready > 0) {
      for (size_t i = 0; i < count; ++i) {
        if ((fds[i].revents & POLLIN) == 0) continue;
        if (events[i]->m_manualReset || Consume(fds[i].fd)) return static_cast<int>(i);
      }
    }
    if (ready == 0 || Remaining(milliseconds, start) == 0) return -1;
  }
}

} // namespace oxa::ZarUsb::os
