#include "os/monitor_token.h"

#include <windows.h>

#include "os/event.h"
#include "os/namespace.h"

namespace oxa::ZarUsb::os {

MonitorToken::~MonitorToken() { Close(); }

uint32_t MonitorToken::Open(const std::string &name, bool *holder) noexcept {
  Close();
  HANDLE semaphore = CreateSemaphoreA(nullptr, 0, 1, NamespacedName(name).c_str());
  if (semaphore == nullptr) return GetLastError();
  *holder = GetLastError() != ERROR_ALREADY_EXISTS;
  m_native = reinterpret_cast<intptr_t>(semaphore);
  return 0;
}

bool MonitorToken::Take(Event &stop) noexcept {
  if (m_native == -1) return false;
  const HANDLE handles[2] = {reinterpret_cast<HANDLE>(m_native), reinterpret_cast<HANDLE>(stop.Native())};
  return WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0;
}

void MonitorToken::Release() noexcept {
  if (m_native != -1) ReleaseSemaphore(reinterpret_cast<HANDLE>(m_native), 1, nullptr);
}

void MonitorToken::Close() noexcept {
  if (m_native != -1) CloseHandle(reinterpret_cast<HANDLE>(m_native));
  m_native = -1;
}

} // namespace oxa::ZarUsb::os
