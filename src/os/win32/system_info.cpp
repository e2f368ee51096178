#include "os/system_info.h"

#include <cstdlib>
#include <windows.h>

namespace oxa::ZarUsb::os {

uint32_t CurrentProcessId() noexcept { return GetCurrentProcessId(); }

uint32_t CurrentThreadId() noexcept { return GetCurrentThreadId(); }

void Sleep(uint32_t milliseconds) noexcept { ::Sleep(milliseconds); }

// Through the C runtime, so that getenv sees the change too.
void SetEnv(const char *name, const char *value) noexcept { _putenv_s(name, value); }

void UnsetEnv(const char *name) noexcept { _putenv_s(name, ""); }

bool StandardOutputIsTerminal() noexcept {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

LocalTime CurrentLocalTime() noexcept {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  return {now.wYear, now.wMonth - 1, now.wDay, now.wDayOfWeek,
          now.wHour, now.wMinute,    now.wSecond};
}

} // namespace oxa::ZarUsb::os
