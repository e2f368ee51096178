#include "os/one_cpu.h"

#include <windows.h>

namespace oxa::ZarUsb::os {

// A thread takes its affinity from the process, not from the thread that
// starts it: the process's is the one narrowed.
OneCpu::OneCpu() noexcept {
  DWORD_PTR process = 0, system = 0;
  const DWORD cpu = GetCurrentProcessorNumber();
  if (cpu >= 8 * sizeof(DWORD_PTR) || !GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) return;
  if (!SetProcessAffinityMask(GetCurrentProcess(), DWORD_PTR{1} << cpu)) return;
  m_former[0] = process;
  m_pinned = true;
}

OneCpu::~OneCpu() {
  if (m_pinned) SetProcessAffinityMask(GetCurrentProcess(), static_cast<DWORD_PTR>(m_former[0]));
}

} // namespace oxa::ZarUsb::os
