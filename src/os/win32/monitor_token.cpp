#include "os/monitor_token.h"

#include <windows.h>

#include "os/event.h"
#include "os/namespace.h"

namespace oxa::ZarUsb::os {

namespace {

// Signalled, or abandoned by a holder that ended: either way the caller
// now holds the mutex.
bool Taken(DWORD wait) { return wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED_0; }

} // namespace

MonitorToken::~MonitorToken() { Close(); }

uint32_t MonitorToken::Open(const std::string &name) noexcept {
  Close();
  HANDLE mutex = CreateMutexA(nullptr, FALSE, NamespacedName(name).c_str());
  if (mutex == nullptr) return GetLastError();
  m_native = reinterpret_cast<intptr_t>(mutex);
  return 0;
}

bool MonitorToken::TryTake() noexcept {
  return m_native != -1 && Taken(WaitForSingleObject(reinterpret_cast<HANDLE>(m_native), 0));
}

bool MonitorToken::Take(Event &stop) noexcept {
  if (m_native == -1) return false;
  const HANDLE handles[2] = {reinterpret_cast<HANDLE>(m_native), reinterpret_cast<HANDLE>(stop.Native())};
  return Taken(WaitForMultipleObjects(2, handles, FALSE, INFINITE));
}

void MonitorToken::Release() noexcept {
  if (m_native != -1) ReleaseMutex(reinterpret_cast<HANDLE>(m_native));
}

void MonitorToken::Close() noexcept {
  if (m_native != -1) CloseHandle(reinterpret_cast<HANDLE>(m_native));
  m_native = -1;
}

} // namespace oxa::ZarUsb::os
