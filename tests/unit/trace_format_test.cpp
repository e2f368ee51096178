// The trace formatter prints what the Windows C runtime prints, on every platform.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "trace/trace_format.h"

using oxa::ZarUsb::FormatTraceText;

namespace {

template <class... Args> std::string Format(const char *format, Args... args) {
  char buffer[512];
  FormatTraceText(buffer, sizeof buffer, format, args...);
  return buffer;
}

TEST(TraceFormat, WindowsConventionsPrintTheSameEverywhere) {
  EXPECT_EQ(Format("0x%p", reinterpret_cast<void *>(0xABCDEF12ull)), "0x00000000ABCDEF12");
  EXPECT_EQ(Format("%p", static_cast<void *>(nullptr)), "0000000000000000");
  EXPECT_EQ(Format("%I64d", int64_t{-5000000000}), "-5000000000");
  EXPECT_EQ(Format("%I64X", uint64_t{0xFEDCBA9876543210ull}), "FEDCBA9876543210");
  EXPECT_EQ(Format("%I64u", uint64_t{18446744073709551615ull}), "18446744073709551615");
  // "l" is 32 bits, as a DWORD on Windows.
  EXPECT_EQ(Format("%lu", uint32_t{4294967295u}), "4294967295");
  EXPECT_EQ(Format("%lu %d", uint32_t{7}, -3), "7 -3");
  EXPECT_EQ(Format("%s", static_cast<const char *>(nullptr)), "(null)");
}

TEST(TraceFormat, FlagsWidthAndPrecision) {
  EXPECT_EQ(Format("%.2X ", 0x0Fu), "0F ");
  EXPECT_EQ(Format("%.8X", 0x1234u), "00001234");
  EXPECT_EQ(Format("%08x|%-6d|%6d", 0xABu, 42, -42), "000000ab|42    |   -42");
  // A precision, even 0, turns the 0 flag off for integers.
  EXPECT_EQ(Format("%05.0d|%05.1x", 7, 0xAu), "    7|    a");
  EXPECT_EQ(Format("%+d % d %#x %#o", 5, 5, 255u, 8u), "+5  5 0xff 010");
  EXPECT_EQ(Format("%.3s|%5s|%-5s|", "abcdef", "ab", "ab"), "abc|   ab|ab   |");
  EXPECT_EQ(Format("%*d|%.*s", 4, 7, 2, "xyz"), "   7|xy");
  EXPECT_EQ(Format("%.0d|%c|%%", 0, 'Z'), "|Z|%");
  EXPECT_EQ(Format("%hd %hhu", 70000, 300), "4464 44");
  EXPECT_EQ(Format("%d", int32_t{INT32_MIN}), "-2147483648");
  EXPECT_EQ(Format("%I64d", int64_t{INT64_MIN}), "-9223372036854775808");
}

// Unknown conversions are copied; what does not fit, up to huge widths and
// precisions, is counted but not written.
TEST(TraceFormat, UnknownConversionsAreCopiedAndWhatDoesNotFitIsCounted) {
  EXPECT_EQ(Format("%q and %"), "%q and %");
  char small[8];
  EXPECT_EQ(FormatTraceText(small, sizeof small, "%s", "0123456789"), 10u);
  EXPECT_STREQ(small, "0123456");
  EXPECT_EQ(FormatTraceText(small, sizeof small, "%2147483647d", 5), 2147483647u);
  EXPECT_STREQ(small, "       ");
  EXPECT_EQ(FormatTraceText(small, sizeof small, "%.2147483646u|", 5u), 2147483647u);
  EXPECT_STREQ(small, "0000000");
  // Digits past INT_MAX, and INT_MIN through '*', count as INT_MAX.
  EXPECT_EQ(FormatTraceText(small, sizeof small, "%99999999999s", "x"), 2147483647u);
  EXPECT_EQ(FormatTraceText(small, sizeof small, "%*d", INT32_MIN, 7), 2147483647u);
  EXPECT_STREQ(small, "7      ");
  // The zeros of a precision past INT_MAX beside no width at all.
  EXPECT_EQ(FormatTraceText(small, sizeof small, "%#.77777777777X", 1u), 2147483649u);
  EXPECT_STREQ(small, "0X00000");
}

} // namespace
