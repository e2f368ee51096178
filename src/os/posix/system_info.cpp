#include "os/system_info.h"

#include <cstdlib>
#include <ctime>
#include <sys/syscall.h>
#include <unistd.h>

namespace oxa::ZarUsb::os {

uint32_t CurrentProcessId() noexcept { return static_cast<uint32_t>(::getpid()); }

uint32_t CurrentThreadId() noexcept { return static_cast<uint32_t>(::syscall(SYS_gettid)); }

void Sleep(uint32_t milliseconds) noexcept {
  timespec remaining{static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1000000L};
  while (::nanosleep(&remaining, &remaining) == -1) {
  }
}

void SetEnv(const char *name, const char *value) noexcept { ::setenv(name, value, 1); }

void UnsetEnv(const char *name) noexcept { ::unsetenv(name); }

LocalTime CurrentLocalTime() noexcept {
  const time_t now = ::time(nullptr);
  tm parts{};
  ::localtime_r(&now, &parts);
  return {parts.tm_year + 1900, parts.tm_mon, parts.tm_mday, parts.tm_wday,
          parts.tm_hour,        parts.tm_min, parts.tm_sec};
}

} // namespace oxa::ZarUsb::os
