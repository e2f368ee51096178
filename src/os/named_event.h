#pragma once
// An auto-reset event with a name in the namespace: one object owns it and
// waits on it, any process of the namespace sets it by name. Sets that come
// before a wait are kept (several count as one) and release the next wait.
// Windows: a named event (CreateEventA). POSIX: a datagram endpoint of that
// name in the namespace folder; a set is one datagram.

#include <cstdint>
#include <string>

namespace oxa::ZarUsb::os {

class NamedEvent {
public:
  NamedEvent() = default;
  ~NamedEvent();
  NamedEvent(const NamedEvent &) = delete;
  NamedEvent &operator=(const NamedEvent &) = delete;

  // Creates the event of that name, not set, and owns it: 0 or the system
  // error. The caller makes sure that one owner at a time uses a name; on
  // POSIX an endpoint of that name left by an owner that died is replaced.
  // Never blocks.
  uint32_t Create(const std::string &name) noexcept;
  // Ends the ownership; the name sets nothing any more. Never blocks; not
  // while another thread waits.
  void Close() noexcept;

  // Sets the event. Never blocks; any thread.
  void Set() noexcept;
  // Blocks until the event is set (true, and it is reset) or the time has
  // passed (false; also when it is closed or fails). Event::kInfinite waits
  // without limit. One thread at a time.
  bool Wait(uint32_t milliseconds) noexcept;

  // Sets the event of that name in whichever process owns it: false when
  // nobody owns one. Never blocks; any thread.
  static bool SetByName(const std::string &name) noexcept;

private:
  intptr_t m_native = -1; // HANDLE, or socket
  std::string m_name; // as given to Create
};

} // namespace oxa::ZarUsb::os
