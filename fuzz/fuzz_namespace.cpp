#include "fuzz_namespace.h"

#include "os/library_entry.h"
#include "os/system_info.h"
#include "registry/monitor.h"
#include "temp_dir.h"

namespace zar_fuzz {

const std::filesystem::path &IsolatedNamespace() {
  struct Isolated {
    zar_test::TempDir folder;
    Isolated() { oxa::ZarUsb::os::SetEnv("ZAR_USB_NAMESPACE", folder.Path().c_str()); }
  };
  static const Isolated isolated;
  return isolated.folder.Path();
}

bool LoadStillLibrary() {
  using namespace oxa::ZarUsb;
  static const bool opened = [] {
    IsolatedNamespace();
    if (!OnProcessAttach()) return false;
    WaitForThreadReady();
    StopMonitorThread(false);
    return true;
  }();
  return opened;
}

} // namespace zar_fuzz
