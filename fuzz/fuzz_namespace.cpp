#include "fuzz_namespace.h"

#include "os/system_info.h"
#include "registry/monitor.h"
#include "registry/shared_table.h"
#include "temp_dir.h"

namespace zar_fuzz {

const std::filesystem::path &IsolatedNamespace() {
  static zar_test::TempDir folder;
  static const bool set = (oxa::ZarUsb::os::SetEnv("ZAR_USB_NAMESPACE", folder.Path().c_str()), true);
  (void)set;
  return folder.Path();
}

bool OpenStillTable() {
  using namespace oxa::ZarUsb;
  static const bool opened = [] {
    IsolatedNamespace();
    if (!OpenSharedTable()) return false;
    WaitForThreadReady();
    StopMonitorThread(false);
    return true;
  }();
  return opened;
}

} // namespace zar_fuzz
