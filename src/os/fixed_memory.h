#pragma once
// Private read-write memory at an address the caller chooses, for programs
// that need memory at particular addresses (tests of how the library treats
// them). Never blocks; not thread-safe per object.

#include <cstddef>
#include <cstdint>

namespace oxa::ZarUsb::os {

class FixedMemory {
public:
  FixedMemory() = default;
  ~FixedMemory();
  FixedMemory(const FixedMemory &) = delete;
  FixedMemory &operator=(const FixedMemory &) = delete;

  // Maps `size` zero-filled bytes starting exactly at `address` (a multiple
  // of the system's allocation granularity: 64 KiB on Windows). False, with
  // nothing mapped, when that range is taken or cannot be had; whatever
  // occupies it is left alone.
  bool Map(uintptr_t address, size_t size) noexcept;
  void *Data() const noexcept { return m_data; }
  void Unmap() noexcept;

private:
  void *m_data = nullptr;
  size_t m_size = 0;
};

} // namespace oxa::ZarUsb::os
