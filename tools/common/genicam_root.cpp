#include "genicam_root.h"

#include <cstdlib>
#include <filesystem>

#include "os/child_process.h"
#include "os/system_info.h"

namespace zarusb {

void DefaultGenicamRoot() {
  if (std::getenv("GENICAM_ROOT") != nullptr) return;
  const std::filesystem::path shipped =
      std::filesystem::path(oxa::ZarUsb::os::ExecutablePath()).parent_path().parent_path() / "share" / "zar-usb" /
      "genicam";
  std::error_code ignored;
  if (!std::filesystem::is_directory(shipped, ignored)) return;
  oxa::ZarUsb::os::SetEnv("GENICAM_ROOT", shipped.string().c_str());
}

} // namespace zarusb
