#include "os/debug_output.h"

#include <windows.h>

namespace oxa::ZarUsb::os {

void DebugOutput(const char *text) noexcept { OutputDebugStringA(text); }

} // namespace oxa::ZarUsb::os
