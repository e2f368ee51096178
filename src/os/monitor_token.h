#pragma once
// The token of a role that one process of the namespace holds at a time,
// which the system gives back when its holder ends, killed or not (Windows:
// a named mutex, reported abandoned to the next taker; POSIX: an exclusive
// lock on a file).
//
// Take, TryTake and Release belong to one thread, the one that holds the
// role (Windows ties a mutex to its owning thread); Open and Close to one
// thread while no other uses the token.

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

  // Opens the token of that name (NamespacedName applies), creating it
  // when missing. 0 or the system error.
  uint32_t Open(const std::string &name) noexcept;
  // Takes the role if no process holds it. Never blocks.
  bool TryTake() noexcept;
  // Blocks until the role is this process's (true) or stop is signalled
  // (false).
  bool Take(Event &stop) noexcept;
  // Hands the role on to a waiting process.
  void Release() noexcept;
  // Closes the token, after Release or once the holding thread has ended
  // (the system gives the role of an ended holder back).
  void Close() noexcept;

private:
  intptr_t m_native = -1; // mutex HANDLE, or file descriptor
};

} // namespace oxa::ZarUsb::os
