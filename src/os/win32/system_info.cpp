#include "os/system_info.h"

#include <cstdlib>
#include <windows.h>

#include "os/win32/scoped_handle.h"

namespace oxa::ZarUsb::os {

uint32_t CurrentProcessId() noexcept { return GetCurrentProcessId(); }

uint32_t CurrentThreadId() noexcept { return GetCurrentThreadId(); }

namespace {

// The creation time of the process, in 100 ns units since 1601; 0 when the
// system does not tell.
uint64_t StartTime(HANDLE process) {
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  return (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

} // namespace

uint64_t CurrentProcessStartTime() noexcept { return StartTime(GetCurrentProcess()); }

bool ProcessRunning(uint32_t processId, uint64_t startTime) noexcept {
  if (processId == 0) return false;
  const ScopedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, processId));
  if (!process) return GetLastError() == ERROR_ACCESS_DENIED;
  // A handle that someone still holds keeps an ended process openable.
  if (WaitForSingleObject(process.Get(), 0) == WAIT_OBJECT_0) return false;
  const uint64_t started = StartTime(process.Get());
  return startTime == 0 || started == 0 || started == startTime;
}

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
