#include <cstdlib>

#include "registry/recovery_state.h"

namespace oxa::ZarUsb {

// Only a library built for the tests (ZAR_USB_TEST_SEAMS, set by CMake when
// it builds the tests) reads the variable; every other build waits the
// fixed time.
uint32_t RecoveryDelayMs() {
#ifdef ZAR_USB_TEST_SEAMS
  if (const char *value = std::getenv("ZAR_USB_TEST_RECOVERY_DELAY_MS"); value != nullptr && *value != '\0')
    return static_cast<uint32_t>(std::strtoul(value, nullptr, 10));
#endif
  return kRecoveryDelayMs;
}

} // namespace oxa::ZarUsb
