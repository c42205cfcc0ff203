// Latency figures of a benchmark: p50, p99 and the largest, in microseconds,
// as user counters of its state.
#ifndef BENCH_PERCENTILES_H_
#define BENCH_PERCENTILES_H_

#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>
#include <vector>

// Sorts `latenciesUs` and reports them, each counter's name after `prefix`
// (p50_us, p99_us, max_us); nothing when there are none.
inline void ReportPercentiles(benchmark::State& state, std::vector<double>& latenciesUs,
                              const std::string& prefix = "") {
  if (latenciesUs.empty()) return;
  std::sort(latenciesUs.begin(), latenciesUs.end());
  state.counters[prefix + "p50_us"] = latenciesUs[latenciesUs.size() / 2];
  state.counters[prefix + "p99_us"] = latenciesUs[latenciesUs.size() * 99 / 100];
  state.counters[prefix + "max_us"] = latenciesUs.back();
}

#endif  // BENCH_PERCENTILES_H_
