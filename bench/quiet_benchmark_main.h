// The main of a benchmark program whose workers log lines that would break up
// its figures (a refused real-time priority): the log threshold is raised
// above every level before the benchmarks run.
#ifndef BENCH_QUIET_BENCHMARK_MAIN_H_
#define BENCH_QUIET_BENCHMARK_MAIN_H_

#include <benchmark/benchmark.h>

#include "platform/log/zu_log.h"

#define QUIET_BENCHMARK_MAIN()                                  \
  int main(int argc, char** argv) {                             \
    ZuLogSetLevel(ZU_LOG_ERROR + 1);                            \
    benchmark::Initialize(&argc, argv);                         \
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {   \
      return 1;                                                 \
    }                                                           \
    benchmark::RunSpecifiedBenchmarks();                        \
    benchmark::Shutdown();                                      \
    return 0;                                                   \
  }

#endif  // BENCH_QUIET_BENCHMARK_MAIN_H_
