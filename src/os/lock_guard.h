#pragma once
// Scoped holder of a critical section, with an early unlock. Every layer
// above the port may use it.

#include "os/critical_section.h"

namespace oxa::ZarUsb {

class CLockGuard {
public:
  // Enters the section unless it is null.
  explicit CLockGuard(os::CriticalSection *section) noexcept : m_pSection(section) {
    if (m_pSection != nullptr) {
      m_pSection->Enter();
      m_bLocked = true;
    }
  }
  ~CLockGuard() { Unlock(); }
  CLockGuard(const CLockGuard &) = delete;
  CLockGuard &operator=(const CLockGuard &) = delete;

  // Leaves the section now; the destructor then does nothing.
  void Unlock() noexcept {
    if (m_bLocked && m_pSection != nullptr) m_pSection->Leave();
    m_bLocked = false;
  }

private:
  os::CriticalSection *m_pSection;
  bool m_bLocked = false;
};

} // namespace oxa::ZarUsb
