// CPU time the whole process has used, for the idle-cost benchmarks.
#ifndef BENCH_PROCESS_CPU_H_
#define BENCH_PROCESS_CPU_H_

#include <sys/resource.h>

// User and system time of every thread of the process so far, in seconds.
inline double ProcessCpuSeconds() {
  rusage usage = {};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

#endif  // BENCH_PROCESS_CPU_H_
