#include "os/namespace.h"

#include <sys/stat.h>
#include <unistd.h>

namespace oxa::ZarUsb::os {

namespace {

// Creates the folder 0700 when missing; true when it exists and is ours.
bool OwnFolder(const std::string &path) {
  ::mkdir(path.c_str(), 0700);
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::getuid();
}

} // namespace

std::string NamespaceFolder() noexcept {
  try {
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string base = (runtime != nullptr && *runtime == '/') ? std::string(runtime) + "/zar-usb"
                                                               : "/tmp/zar-usb-" + std::to_string(::getuid());
    if (!OwnFolder(base)) return {};
    const std::string name = NamespaceName();
    if (name.empty()) return base;
    const std::string folder = base + "/ns-" + name;
    return OwnFolder(folder) ? folder : std::string();
  } catch (...) {
    return {};
  }
}

std::string NamespacedName(const std::string &name) { return NamespaceFolder() + "/" + name; }

} // namespace oxa::ZarUsb::os
