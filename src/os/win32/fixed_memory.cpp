#include "os/fixed_memory.h"

#include <windows.h>

namespace oxa::ZarUsb::os {

FixedMemory::~FixedMemory() { Unmap(); }

// VirtualAlloc at an address fails when any of the range is taken.
bool FixedMemory::Map(uintptr_t address, size_t size) noexcept {
  Unmap();
  m_data = ::VirtualAlloc(reinterpret_cast<void *>(address), size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  return m_data != nullptr;
}

void FixedMemory::Unmap() noexcept {
  if (m_data != nullptr) ::VirtualFree(m_data, 0, MEM_RELEASE);
  m_data = nullptr;
}

} // namespace oxa::ZarUsb::os
