#include "os/fixed_memory.h"

#include <sys/mman.h>

namespace oxa::ZarUsb::os {

FixedMemory::~FixedMemory() { Unmap(); }

// The address is a hint, never MAP_FIXED: a taken range comes back
// elsewhere and is given up, instead of replacing what is there.
bool FixedMemory::Map(uintptr_t address, size_t size) noexcept {
  Unmap();
  void *data = ::mmap(reinterpret_cast<void *>(address), size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                      -1, 0);
  if (data == MAP_FAILED) return false;
  if (reinterpret_cast<uintptr_t>(data) != address) {
    ::munmap(data, size);
    return false;
  }
  m_data = data;
  m_size = size;
  return true;
}

void FixedMemory::Unmap() noexcept {
  if (m_data != nullptr) ::munmap(m_data, m_size);
  m_data = nullptr;
  m_size = 0;
}

} // namespace oxa::ZarUsb::os
