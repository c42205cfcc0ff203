// A log call below the threshold, the cost every filtered line pays.
#include <benchmark/benchmark.h>

#include "platform/log/zu_log.h"

namespace {

void BM_VerboseBelowThreshold(benchmark::State& state) {
  ZuLogSetLevel(ZU_LOG_DEBUG);
  int value = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(ZuLogPrint(ZU_LOG_VERBOSE, "MediaParam", "%s valSize: %zu", "WriteFixed", sizeof(value)));
    ++value;
  }
}
BENCHMARK(BM_VerboseBelowThreshold);

void BM_EmptyCallBaseline(benchmark::State& state) {
  int value = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(value);
    ++value;
  }
}
BENCHMARK(BM_EmptyCallBaseline);

}  // namespace

BENCHMARK_MAIN();
