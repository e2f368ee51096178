// Benchmarks run in a namespace of their own, removed at the end.

#include <benchmark/benchmark.h>

#include <filesystem>
#include <random>
#include <string>

#include "os/namespace.h"
#include "os/system_info.h"

int main(int argc, char **argv) {
  std::random_device entropy;
  const std::string name = "bench-" + std::to_string(entropy());
  oxa::ZarUsb::os::SetEnv("ZAR_USB_NAMESPACE", name.c_str());
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ignored;
  const std::string folder = oxa::ZarUsb::os::NamespaceFolder();
  if (!folder.empty()) std::filesystem::remove_all(folder, ignored);
  return 0;
}
