#include "hibernation.h"

#include <string>

#include "os/system_info.h"

namespace zar_test {

ShortRecoveryWait::ShortRecoveryWait() {
  oxa::ZarUsb::os::SetEnv("ZAR_USB_TEST_RECOVERY_DELAY_MS", std::to_string(kMilliseconds).c_str());
}

ShortRecoveryWait::~ShortRecoveryWait() { oxa::ZarUsb::os::UnsetEnv("ZAR_USB_TEST_RECOVERY_DELAY_MS"); }

} // namespace zar_test
