#pragma once
// printf-style formatting that prints the same characters on every platform,
// following the Windows C runtime for the conversions the library's traces
// use: %d %i %u %x %X %o %c %s %p %%, with flags (- + space 0 #), width and
// precision (also *), and the length modifiers hh h l ll I64 I32 I z j t.
// As on Windows, "l" is 32 bits and "%p" prints 16 upper-case hex digits;
// a null "%s" prints "(null)". An unknown conversion is copied as it stands.

#include <cstdarg>
#include <cstddef>

namespace oxa::ZarUsb {

// Formats into out (capacity bytes, at least 1), always zero-terminated, cut
// at capacity - 1 characters. Returns the length the whole text would have.
size_t FormatTrace(char *out, size_t capacity, const char *format, va_list args) noexcept;
size_t FormatTraceText(char *out, size_t capacity, const char *format, ...) noexcept;

} // namespace oxa::ZarUsb
