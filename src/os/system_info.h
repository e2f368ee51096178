#pragma once
// Process, thread and clock facts. Every function is thread-safe, never fails
// and does not block, except Sleep.

#include <cstdint>

namespace oxa::ZarUsb::os {

uint32_t CurrentProcessId() noexcept;
uint32_t CurrentThreadId() noexcept;

// When this process started, in the system's own units; 0 when the system
// does not tell. With the process id it names the process: the system gives
// an id again once its process has ended, but with a later start time.
uint64_t CurrentProcessStartTime() noexcept;
// Whether the process of that id runs (a process that ended and awaits its
// reaping does not) and, when startTime is not 0, started at that time. A
// process that runs but cannot be examined counts as running.
bool ProcessRunning(uint32_t processId, uint64_t startTime) noexcept;

// Suspends the calling thread for at least the given time.
void Sleep(uint32_t milliseconds) noexcept;

// Sets (or, UnsetEnv, removes) a variable of this process's environment,
// which programs it starts inherit. Not thread-safe against other changes
// of the environment.
void SetEnv(const char *name, const char *value) noexcept;
void UnsetEnv(const char *name) noexcept;

// Whether the process's standard output is a terminal (a console on
// Windows) rather than a file or a pipe.
bool StandardOutputIsTerminal() noexcept;

// Broken-down local time of the present moment.
struct LocalTime {
  int year;      // e.g. 2026
  int month;     // 0-11
  int day;       // 1-31
  int weekDay;   // 0 Sunday - 6 Saturday
  int hour;
  int minute;
  int second;
};
LocalTime CurrentLocalTime() noexcept;

} // namespace oxa::ZarUsb::os
