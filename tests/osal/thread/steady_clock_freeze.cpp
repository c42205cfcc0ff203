#include "tests/osal/thread/steady_clock_freeze.h"

#include <dlfcn.h>
#include <time.h>

#include <atomic>
#include <cstdint>

namespace {

// Nanoseconds of the frozen instant; 0 while the clock runs.
std::atomic<int64_t> gFrozenNs{0};

using ClockGettimeFn = int (*)(clockid_t, timespec*);

int RealClockGettime(clockid_t clock, timespec* time) {
  static const auto next = reinterpret_cast<ClockGettimeFn>(dlsym(RTLD_NEXT, "clock_gettime"));
  return next(clock, time);
}

}  // namespace

// Interposes the system library's clock_gettime for the whole program, the
// standard library's clocks included (the executable's definition is found
// first); every call is forwarded unless the monotonic clock is frozen.
extern "C" __attribute__((visibility("default"))) int clock_gettime(clockid_t clock, timespec* time) {
  const int64_t frozen = gFrozenNs.load();
  if (clock != CLOCK_MONOTONIC || frozen == 0) {
    return RealClockGettime(clock, time);
  }
  time->tv_sec = frozen / 1000000000;
  time->tv_nsec = frozen % 1000000000;
  return 0;
}

namespace testing_support {

SteadyClockFreeze::SteadyClockFreeze() {
  timespec now = {};
  RealClockGettime(CLOCK_MONOTONIC, &now);
  gFrozenNs = static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

SteadyClockFreeze::~SteadyClockFreeze() {
  gFrozenNs = 0;
}

}  // namespace testing_support
