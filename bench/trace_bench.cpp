// Cost of a traced export with tracing off, and with a trace file written.

#include <benchmark/benchmark.h>

#include <filesystem>

#include "zar_usb.h"

namespace {

void BM_ExportWithTracingOff(benchmark::State &state) {
  ZAR_TL_HANDLE tl = nullptr;
  TLOpen(nullptr, nullptr, &tl);
  uint32_t count = 0;
  for (auto _ : state) benchmark::DoNotOptimize(TLGetNumInterfaces(tl, &count));
  TLClose(tl);
}
BENCHMARK(BM_ExportWithTracingOff);

void BM_ExportWithTraceFile(benchmark::State &state) {
  const auto path = std::filesystem::temp_directory_path() / "zar-usb-bench-trace.txt";
  OpenDebugFile(path.wstring().c_str(), ZAR_O_WRONLY | ZAR_O_CREAT | ZAR_O_TRUNC);
  LimitDebugFileSize(1024);
  EnableZarTrace(1);
  ZAR_TL_HANDLE tl = nullptr;
  TLOpen(nullptr, nullptr, &tl);
  uint32_t count = 0;
  for (auto _ : state) benchmark::DoNotOptimize(TLGetNumInterfaces(tl, &count));
  TLClose(tl);
  EnableZarTrace(0);
  CloseDebugFile();
  std::filesystem::remove(path);
}
BENCHMARK(BM_ExportWithTraceFile);

void BM_GetErrorText(benchmark::State &state) {
  ZAR_TL_HANDLE tl = nullptr;
  TLOpen(nullptr, nullptr, &tl);
  const char *text = nullptr;
  for (auto _ : state) benchmark::DoNotOptimize(GCGetErrorText(tl, -7, &text));
  TLClose(tl);
}
BENCHMARK(BM_GetErrorText);

} // namespace
