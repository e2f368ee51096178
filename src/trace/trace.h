#pragma once
// The trace log: a text file chosen by the application, plus the debugger
// output of the process (os::DebugOutput) for every piece written.
//
// Tracing costs two atomic loads while it is off or no file is open. Pieces
// are formatted into a 512-byte buffer on the caller's stack; a longer piece
// is cut to 511 characters, keeping its final newline. Any thread may trace;
// pieces of different threads may interleave. The file itself is reached
// under one lock, so a size-limit reopen or CloseDebugFile on one thread can
// never make another thread's write land in a reused descriptor.

#include <atomic>
#include <cstdint>

namespace oxa::ZarUsb {

// The low 32 bits of an address, as traces print objects with %X or %u.
inline uint32_t AddressLow32(const void *pointer) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}

namespace trace_state {
// Read without a lock on every trace call; written under the file lock.
extern std::atomic<bool> g_enabled;
extern std::atomic<bool> g_fileOpen;
} // namespace trace_state

// True while tracing is enabled and a file is open.
inline bool IsTraceActive() noexcept {
  return trace_state::g_enabled.load(std::memory_order_relaxed) &&
         trace_state::g_fileOpen.load(std::memory_order_relaxed);
}

// TraceMessage's writing part, called only while tracing is active.
void WriteTraceMessage(const char *format, ...) noexcept;
// Writes a time-stamp line ("\nZAR=> " and the ctime text) and then the
// formatted message, each checked against the size limit. Nothing at all
// while tracing is disabled or no file is open: that check is inlined into
// the caller, so a call costs two loads while tracing is off.
template <class... Args> inline void TraceMessage(const char *format, Args... args) noexcept {
  if (IsTraceActive()) WriteTraceMessage(format, args...);
}
// Writes the formatted piece alone, without time stamp or size check.
void TraceRaw(const char *format, ...) noexcept;

// The trace exports.
int32_t OpenTraceFile(const wchar_t *path, int32_t flags) noexcept;
void CloseTraceFile() noexcept;
void WriteTraceText(const char *text) noexcept;
void LimitTraceFileSize(uint32_t kilobytes) noexcept;
void EnableTrace(bool enable) noexcept;

} // namespace oxa::ZarUsb
