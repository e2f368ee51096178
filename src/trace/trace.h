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

#include <cstdint>

namespace oxa::ZarUsb {

// The low 32 bits of an address, as traces print objects with %X or %u.
inline uint32_t AddressLow32(const void *pointer) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}

// Writes a time-stamp line ("\nZAR=> " and the ctime text) and then the
// formatted message, each checked against the size limit. Nothing at all
// while tracing is disabled or no file is open.
void TraceMessage(const char *format, ...) noexcept;
// Writes the formatted piece alone, without time stamp or size check.
void TraceRaw(const char *format, ...) noexcept;
// True while a trace file is open.
bool IsTraceFileOpen() noexcept;

// The trace exports.
int32_t OpenTraceFile(const wchar_t *path, int32_t flags) noexcept;
void CloseTraceFile() noexcept;
void WriteTraceText(const char *text) noexcept;
void LimitTraceFileSize(uint32_t kilobytes) noexcept;
void EnableTrace(bool enable) noexcept;

} // namespace oxa::ZarUsb
