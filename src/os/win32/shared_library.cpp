#include "os/shared_library.h"

#include <windows.h>

#include <string>

namespace oxa::ZarUsb::os {

const char *const kZarUsbLibraryFile = "ZAR_USB.dll";

void *LoadSharedLibrary(const std::string &file, std::string *why) noexcept {
  HMODULE library = LoadLibraryA(file.c_str());
  if (library == nullptr && why != nullptr) *why = "error " + std::to_string(GetLastError());
  return reinterpret_cast<void *>(library);
}

void *SharedLibrarySymbol(void *library, const char *name) noexcept {
  if (library == nullptr) return nullptr;
  return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(library), name));
}

std::string ModulePathOf(const void *address) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          static_cast<LPCSTR>(address), &module))
    return {};
  char path[MAX_PATH * 4];
  const DWORD length = GetModuleFileNameA(module, path, sizeof path);
  if (length == 0 || length >= sizeof path) return {};
  return std::string(path, length);
}

} // namespace oxa::ZarUsb::os
