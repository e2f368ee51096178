#include "os/shared_memory.h"

#include <windows.h>

#include "os/namespace.h"

namespace oxa::ZarUsb::os {

SharedMemory::~SharedMemory() { Close(); }

uint32_t SharedMemory::Open(const std::string &name, size_t size, bool *alreadyExisted) noexcept {
  Close();
  HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, static_cast<DWORD>(size),
                                     NamespacedName(name).c_str());
  if (mapping == nullptr) return GetLastError();
  const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
  void *data = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0);
  if (data == nullptr) {
    const DWORD error = GetLastError();
    CloseHandle(mapping);
    return error;
  }
  m_data = data;
  m_size = size;
  m_native = reinterpret_cast<intptr_t>(mapping);
  if (alreadyExisted != nullptr) *alreadyExisted = existed;
  return 0;
}

void SharedMemory::Close() noexcept {
  if (m_data != nullptr) UnmapViewOfFile(m_data);
  if (m_native != -1) CloseHandle(reinterpret_cast<HANDLE>(m_native));
  m_data = nullptr;
  m_native = -1;
}

} // namespace oxa::ZarUsb::os
