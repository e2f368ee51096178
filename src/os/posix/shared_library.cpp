#include "os/shared_library.h"

#include <dlfcn.h>

namespace oxa::ZarUsb::os {

const char *const kZarUsbLibraryFile = "libzar_usb.so.1";

void *LoadSharedLibrary(const std::string &file, std::string *why) noexcept {
  void *library = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (library == nullptr && why != nullptr) {
    const char *reason = dlerror();
    *why = reason != nullptr ? reason : "unknown reason";
  }
  return library;
}

void *SharedLibrarySymbol(void *library, const char *name) noexcept {
  return library != nullptr ? dlsym(library, name) : nullptr;
}

std::string ModulePathOf(const void *address) {
  Dl_info info{};
  if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) return {};
  return info.dli_fname;
}

} // namespace oxa::ZarUsb::os
