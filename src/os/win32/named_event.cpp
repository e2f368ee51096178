#include "os/named_event.h"

#include <windows.h>

#include "os/namespace.h"
#include "os/win32/scoped_handle.h"

namespace oxa::ZarUsb::os {

namespace {
HANDLE Handle(intptr_t native) { return reinterpret_cast<HANDLE>(native); }
} // namespace

NamedEvent::~NamedEvent() { Close(); }

uint32_t NamedEvent::Create(const std::string &name) noexcept {
  Close();
  try {
    m_name = name;
    HANDLE handle = CreateEventA(nullptr, FALSE, FALSE, NamespacedName(name).c_str());
    if (handle == nullptr) return GetLastError();
    m_native = reinterpret_cast<intptr_t>(handle);
    return 0;
  } catch (...) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

void NamedEvent::Close() noexcept {
  if (m_native == -1) return;
  CloseHandle(Handle(m_native));
  m_native = -1;
}

void NamedEvent::Set() noexcept {
  if (m_native != -1) SetEvent(Handle(m_native));
}

bool NamedEvent::Wait(uint32_t milliseconds) noexcept {
  return m_native != -1 && WaitForSingleObject(Handle(m_native), milliseconds) == WAIT_OBJECT_0;
}

bool NamedEvent::SetByName(const std::string &name) noexcept {
  try {
    const ScopedHandle event(OpenEventA(EVENT_MODIFY_STATE, FALSE, NamespacedName(name).c_str()));
    return event && SetEvent(event.Get()) != FALSE;
  } catch (...) {
    return false;
  }
}

} // namespace oxa::ZarUsb::os
