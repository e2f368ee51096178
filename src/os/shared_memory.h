#pragma once
// Named shared memory that lives as long as a process has it open: the
// first process to open it after every other one has gone (crashed ones
// included) finds it new and zero-filled.
//
// Windows: a paging-file-backed file mapping. POSIX: a file of the namespace
// folder, mapped; every process that has it open holds a shared lock on it,
// and one that can take the lock exclusively knows it is alone and zeroes it.

#include <cstddef>
#include <cstdint>
#include <string>

namespace oxa::ZarUsb::os {

class SharedMemory {
public:
  SharedMemory() = default;
  ~SharedMemory();
  SharedMemory(const SharedMemory &) = delete;
  SharedMemory &operator=(const SharedMemory &) = delete;

  // Opens or creates the memory of that name (NamespacedName applies) with
  // `size` bytes. 0 or the system error; *alreadyExisted: another process
  // had it open. Blocks only while another process is creating it.
  uint32_t Open(const std::string &name, size_t size, bool *alreadyExisted) noexcept;
  void *Data() const noexcept { return m_data; }
  void Close() noexcept;

private:
  void *m_data = nullptr;
  size_t m_size = 0;
  intptr_t m_native = -1; // mapping HANDLE, or the locked file descriptor
};

} // namespace oxa::ZarUsb::os
