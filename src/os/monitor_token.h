#pragma once
// The token of a role that one process of the namespace holds at a time
// (Windows: a named semaphore of maximum count 1 that starts at 0, the
// creator holding the role; POSIX: an exclusive lock on a file, which the
// system also gives back when its holder dies).

#include <cstdint>
#include <string>

namespace oxa::ZarUsb::os {

class Event;

class MonitorToken {
public:
  MonitorToken() = default;
  ~MonitorToken();
  MonitorToken(const MonitorToken &) = delete;
  MonitorToken &operator=(const MonitorToken &) = delete;

  // Opens the token of that name. 0 or the system error; *holder: this
  // process created it (Windows) or took it at once (POSIX), and so holds
  // the role without waiting.
  uint32_t Open(const std::string &name, bool *holder) noexcept;
  // Blocks until the role is this process's (true) or stop is signalled
  // (false). Thread-safe against Release from another thread.
  bool Take(Event &stop) noexcept;
  // Hands the role on to a waiting process.
  void Release() noexcept;
  void Close() noexcept;

private:
  intptr_t m_native = -1; // semaphore HANDLE, or file descriptor
};

} // namespace oxa::ZarUsb::os
