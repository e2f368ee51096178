// Benchmarks run in a namespace of their own, with the emulator on.

#include <benchmark/benchmark.h>

#include "namespace_run.h"

int main(int argc, char **argv) {
  if (const auto result = zar_test::RunInOwnNamespace(argc, argv, "bench")) return *result;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
