#include "os/system_info.h"

#include <cstdlib>
#include <atomic>
#include <ctime>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace oxa::ZarUsb::os {

namespace {

// getpid and gettid are system calls: the process and each thread ask once.
// A forked child, whose process and one thread have new ids, asks again.
std::atomic<uint32_t> g_processId{0};
thread_local uint32_t t_threadId = 0;

void ForgetIds() {
  g_processId = 0;
  t_threadId = 0;
}

void WatchForks() {
  static const int registered = ::pthread_atfork(nullptr, nullptr, ForgetIds);
  (void)registered;
}

} // namespace

uint32_t CurrentProcessId() noexcept {
  uint32_t id = g_processId.load(std::memory_order_relaxed);
  if (id == 0) {
    WatchForks();
    id = static_cast<uint32_t>(::getpid());
    g_processId.store(id, std::memory_order_relaxed);
  }
  return id;
}

uint32_t CurrentThreadId() noexcept {
  if (t_threadId == 0) {
    WatchForks();
    t_threadId = static_cast<uint32_t>(::syscall(SYS_gettid));
  }
  return t_threadId;
}

void Sleep(uint32_t milliseconds) noexcept {
  timespec remaining{static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1000000L};
  while (::nanosleep(&remaining, &remaining) == -1) {
  }
}

void SetEnv(const char *name, const char *value) noexcept { ::setenv(name, value, 1); }

void UnsetEnv(const char *name) noexcept { ::unsetenv(name); }

bool StandardOutputIsTerminal() noexcept { return ::isatty(STDOUT_FILENO) == 1; }

LocalTime CurrentLocalTime() noexcept {
  const time_t now = ::time(nullptr);
  tm parts{};
  ::localtime_r(&now, &parts);
  return {parts.tm_year + 1900, parts.tm_mon, parts.tm_mday, parts.tm_wday,
          parts.tm_hour,        parts.tm_min, parts.tm_sec};
}

} // namespace oxa::ZarUsb::os
