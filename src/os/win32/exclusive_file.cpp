#include "os/exclusive_file.h"

#include <windows.h>

#include "os/namespace.h"

namespace oxa::ZarUsb::os {

ExclusiveFile::~ExclusiveFile() { Close(); }

uint32_t ExclusiveFile::Open(const std::string &name) noexcept {
  Close();
  const std::string folder = NamespaceFolder();
  if (folder.empty()) return ERROR_PATH_NOT_FOUND;
  // No sharing: any second open fails with ERROR_SHARING_VIOLATION.
  HANDLE handle = CreateFileA((folder + "\\" + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return GetLastError();
  m_native = reinterpret_cast<intptr_t>(handle);
  return 0;
}

void ExclusiveFile::Close() noexcept {
  if (m_native != -1) CloseHandle(reinterpret_cast<HANDLE>(m_native));
  m_native = -1;
}

} // namespace oxa::ZarUsb::os
