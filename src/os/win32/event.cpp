#include "os/event.h"

#include <new>
#include <windows.h>

namespace oxa::ZarUsb::os {

namespace {
HANDLE Handle(intptr_t native) { return reinterpret_cast<HANDLE>(native); }
} // namespace

std::unique_ptr<Event> Event::Create(bool manualReset) noexcept {
  HANDLE handle = CreateEventA(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr);
  if (handle == nullptr) return nullptr;
  std::unique_ptr<Event> event(new (std::nothrow) Event(reinterpret_cast<intptr_t>(handle), manualReset));
  if (!event) CloseHandle(handle);
  return event;
}

Event::~Event() { CloseHandle(Handle(m_native)); }

void Event::Set() noexcept { SetEvent(Handle(m_native)); }

void Event::Reset() noexcept { ResetEvent(Handle(m_native)); }

bool Event::Wait(uint32_t milliseconds) noexcept {
  return WaitForSingleObject(Handle(m_native), milliseconds) == WAIT_OBJECT_0;
}

int Event::WaitAny(Event *const *events, size_t count, uint32_t milliseconds) noexcept {
  HANDLE handles[MAXIMUM_WAIT_OBJECTS];
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS) return -1;
  for (size_t i = 0; i < count; ++i) handles[i] = Handle(events[i]->m_native);
  const DWORD result = WaitForMultipleObjects(static_cast<DWORD>(count), handles, FALSE, milliseconds);
  if (result >= WAIT_OBJECT_0 && result < WAIT_OBJECT_0 + count) return static_cast<int>(result - WAIT_OBJECT_0);
  return -1;
}

} // namespace oxa::ZarUsb::os
