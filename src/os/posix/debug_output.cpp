#include "os/debug_output.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace oxa::ZarUsb::os {

void DebugOutput(const char *text) noexcept {
  const char *target = std::getenv("ZAR_USB_DEBUG_OUTPUT");
  if (target == nullptr || std::strcmp(target, "stderr") != 0) return;
  const ssize_t ignored = ::write(STDERR_FILENO, text, std::strlen(text));
  (void)ignored;
}

} // namespace oxa::ZarUsb::os
