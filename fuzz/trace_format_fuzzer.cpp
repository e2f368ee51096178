// Trace formats and their arguments. The formatter keeps its promises for
// any format and any texts: the output is terminated within its capacity, a
// cut output is the start of the whole text, and the length returned is the
// whole text's. The trace log then writes such pieces into a file held to a
// small size limit.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_namespace.h"
#include "trace/trace.h"
#include "trace/trace_format.h"

using namespace oxa::ZarUsb;

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  const std::wstring path = (zar_fuzz::IsolatedNamespace() / "trace.txt").wstring();
  Check(OpenTraceFile(path.c_str(), 0x0301) == 0); // write-only, create, truncate
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider input(data, size);
  const auto capacity = input.ConsumeIntegralInRange<size_t>(1, 64);
  const auto traceMode = input.ConsumeIntegral<uint8_t>();
  const std::string first = input.ConsumeRandomLengthString(600);
  const std::string second = input.ConsumeRandomLengthString(64);
  const std::string format = input.ConsumeRemainingBytesAsString();
  // A conversion takes at most three arguments (width, precision, value):
  // a format must not ask for more than the call passes.
  if (std::count(format.begin(), format.end(), '%') * 3 > 48) return 0;

  // Every argument is a text (or null): an integer conversion reads the bits
  // of its address, so no conversion meets an argument it cannot take.
  const char *a = first.c_str(), *b = second.c_str(), *z = nullptr;
#define ZAR_FUZZ_ARGUMENTS_8 a, b, z, a, b, z, a, b
#define ZAR_FUZZ_ARGUMENTS ZAR_FUZZ_ARGUMENTS_8, ZAR_FUZZ_ARGUMENTS_8, ZAR_FUZZ_ARGUMENTS_8, \
  ZAR_FUZZ_ARGUMENTS_8, ZAR_FUZZ_ARGUMENTS_8, ZAR_FUZZ_ARGUMENTS_8
  char whole[2048];
  const size_t length = FormatTraceText(whole, sizeof whole, format.c_str(), ZAR_FUZZ_ARGUMENTS);
  Check(std::strlen(whole) == std::min(length, sizeof whole - 1));
  char cut[64];
  Check(FormatTraceText(cut, capacity, format.c_str(), ZAR_FUZZ_ARGUMENTS) == length);
  const size_t kept = std::strlen(cut);
  Check(kept == std::min(length, capacity - 1));
  Check(std::memcmp(cut, whole, kept) == 0);

  if ((traceMode & 1) != 0) {
    LimitTraceFileSize(1 + (traceMode >> 1) % 4);
    EnableTrace(true);
    TraceMessage(format.c_str(), ZAR_FUZZ_ARGUMENTS);
    TraceRaw(format.c_str(), ZAR_FUZZ_ARGUMENTS);
    WriteTraceText(first.c_str());
    EnableTrace(false);
  }
#undef ZAR_FUZZ_ARGUMENTS
#undef ZAR_FUZZ_ARGUMENTS_8
  return 0;
}
