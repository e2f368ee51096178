#pragma once
// Unnamed events, as Windows' CreateEventA makes them (an eventfd on POSIX).

#include <cstddef>
#include <cstdint>
#include <memory>

namespace oxa::ZarUsb::os {

class Event {
public:
  static constexpr uint32_t kInfinite = 0xFFFFFFFFu;

  // A new event, not signalled. An auto-reset event is reset by the one wait
  // it releases; a manual-reset one stays signalled until Reset. Null when the
  // system has no resources for one.
  static std::unique_ptr<Event> Create(bool manualReset) noexcept;
  ~Event();
  Event(const Event &) = delete;
  Event &operator=(const Event &) = delete;

  // Never block; any thread.
  void Set() noexcept;
  void Reset() noexcept;
  // Blocks until the event is signalled (true) or the time has passed
  // (false). kInfinite waits without limit. Any thread.
  bool Wait(uint32_t milliseconds) noexcept;
  // Waits until one of the events is signalled: its index, or -1 when the
  // time has passed. Of several signalled events the lowest index wins.
  static int WaitAny(Event *const *events, size_t count, uint32_t milliseconds) noexcept;

  // The native object (HANDLE on Windows, eventfd on POSIX), for the
  // platform's own backends only.
  intptr_t Native() const { return m_native; }

private:
  Event(intptr_t native, bool manualReset) : m_native(native), m_manualReset(manualReset) {}
  intptr_t m_native;
  bool m_manualReset;
};

} // namespace oxa::ZarUsb::os
