#include "os/system_info.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
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

// What /proc tells of a process: whether it runs, and when it started (in
// clock ticks since boot).
struct ProcessStat {
  bool found = false;
  bool running = false;
  uint64_t startTime = 0;
};

ProcessStat ReadProcessStat(uint32_t processId) {
  char path[32];
  std::snprintf(path, sizeof path, "/proc/%u/stat", processId);
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  char text[1024];
  const ssize_t length = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (length <= 0) return {};
  text[length] = '\0';
  // "pid (name) state ppid ...": the name may hold anything, so the fields
  // are counted from its closing parenthesis; the state is the first of
  // them and the start time the twentieth.
  const char *field = std::strrchr(text, ')');
  if (field == nullptr) return {};
  ProcessStat stat;
  stat.found = true;
  for (int index = 0; index < 20; ++index) {
    while (*field == ' ' || *field == ')') ++field;
    if (*field == '\0') return {};
    if (index == 0) stat.running = *field != 'Z' && *field != 'X';
    if (index == 19) stat.startTime = std::strtoull(field, nullptr, 10);
    while (*field != ' ' && *field != '\0') ++field;
  }
  return stat;
}

} // namespace

uint64_t CurrentProcessStartTime() noexcept {
  return ReadProcessStat(CurrentProcessId()).startTime;
}

bool ProcessRunning(uint32_t processId, uint64_t startTime) noexcept {
  if (processId == 0 || processId > 0x7FFFFFFFu) return false;
  const ProcessStat stat = ReadProcessStat(processId);
  if (!stat.found) return ::kill(static_cast<pid_t>(processId), 0) == 0 || errno == EPERM;
  return stat.running && (startTime == 0 || stat.startTime == 0 || stat.startTime == startTime);
}

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
