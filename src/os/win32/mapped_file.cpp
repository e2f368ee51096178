#include "os/mapped_file.h"

#include "os/namespace.h"
#include "os/win32/scoped_handle.h"

namespace oxa::ZarUsb::os {

MappedFile::~MappedFile() { Close(); }

uint32_t MappedFile::Open(const std::string &name, size_t size, bool *created) noexcept {
  Close();
  const std::string folder = NamespaceFolder();
  if (folder.empty()) return ERROR_PATH_NOT_FOUND;
  ScopedHandle file(CreateFileA((folder + "\\" + name).c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return GetLastError();
  const bool isNew = GetLastError() != ERROR_ALREADY_EXISTS;
  const uint64_t size64 = size;
  ScopedHandle mapping(CreateFileMappingA(file.Get(), nullptr, PAGE_READWRITE, static_cast<DWORD>(size64 >> 32),
                                          static_cast<DWORD>(size64), nullptr));
  if (!mapping) return GetLastError();
  void *data = MapViewOfFile(mapping.Get(), FILE_MAP_ALL_ACCESS, 0, 0, size);
  if (data == nullptr) return GetLastError();
  m_data = data;
  m_size = size;
  if (created != nullptr) *created = isNew;
  return 0;
}

void MappedFile::Close() noexcept {
  if (m_data != nullptr) UnmapViewOfFile(m_data);
  m_data = nullptr;
  m_size = 0;
}

} // namespace oxa::ZarUsb::os
