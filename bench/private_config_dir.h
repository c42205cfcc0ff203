// The guard of a property benchmark: skips it, with the reason, unless
// "/etc/j-config" is a private mount, and labels its figures with the file
// system they ran on.
#ifndef BENCH_PRIVATE_CONFIG_DIR_H_
#define BENCH_PRIVATE_CONFIG_DIR_H_

#include <benchmark/benchmark.h>

#include "bench/private_mount.h"

inline bool PrivateConfigDir(benchmark::State& state) {
  if (!ConfigDirIsPrivateMount()) {
    state.SkipWithError("/etc/j-config is not a private mount; run through scripts/private-ns.sh");
    return false;
  }
  state.SetLabel(ConfigDirMedium());
  return true;
}

#endif  // BENCH_PRIVATE_CONFIG_DIR_H_
