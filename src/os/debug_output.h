#pragma once
// The process's debugger output channel.

namespace oxa::ZarUsb::os {

// Passes a zero-terminated text to the debugger output: OutputDebugStringA on
// Windows. POSIX has no such channel: the text is dropped unless the
// environment variable ZAR_USB_DEBUG_OUTPUT is "stderr", which sends it to
// standard error as it stands. Never blocks beyond that write; any thread.
void DebugOutput(const char *text) noexcept;

} // namespace oxa::ZarUsb::os
