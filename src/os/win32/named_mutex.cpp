#include "os/named_mutex.h"

#include <windows.h>

#include "os/namespace.h"

namespace oxa::ZarUsb::os {

NamedMutex::~NamedMutex() { Close(); }

uint32_t NamedMutex::Open(const std::string &name, bool *alreadyExisted) noexcept {
  Close();
  HANDLE handle = CreateMutexA(nullptr, FALSE, NamespacedName(name).c_str());
  if (handle == nullptr) return GetLastError();
  if (alreadyExisted != nullptr) *alreadyExisted = GetLastError() == ERROR_ALREADY_EXISTS;
  m_native = handle;
  return 0;
}

NamedMutex::Lock NamedMutex::Acquire() noexcept {
  if (m_native == nullptr) return Lock::Failed;
  switch (WaitForSingleObject(m_native, INFINITE)) {
  case WAIT_OBJECT_0: return Lock::Acquired;
  case WAIT_ABANDONED: return Lock::Abandoned;
  default: return Lock::Failed;
  }
}

bool NamedMutex::Release() noexcept { return m_native != nullptr && ReleaseMutex(m_native) != FALSE; }

void NamedMutex::Close() noexcept {
  if (m_native != nullptr) CloseHandle(m_native);
  m_native = nullptr;
}

} // namespace oxa::ZarUsb::os
