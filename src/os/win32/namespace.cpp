#include "os/namespace.h"

#include <windows.h>

namespace oxa::ZarUsb::os {

namespace {

bool EnsureFolder(const std::string &path) {
  if (CreateDirectoryA(path.c_str(), nullptr)) return true;
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

} // namespace

std::string NamespaceFolder() noexcept {
  try {
    char temp[MAX_PATH + 1];
    const DWORD length = GetTempPathA(sizeof temp, temp);
    if (length == 0 || length > MAX_PATH) return {};
    std::string base = std::string(temp, length) + "zar-usb";
    if (!EnsureFolder(base)) return {};
    const std::string name = NamespaceName();
    if (name.empty()) return base;
    const std::string folder = base + "\\ns-" + name;
    return EnsureFolder(folder) ? folder : std::string();
  } catch (...) {
    return {};
  }
}

std::string NamespacedName(const std::string &name) {
  const std::string prefix = NamespaceName();
  return prefix.empty() ? name : prefix + "_" + name;
}

} // namespace oxa::ZarUsb::os
