#include "tests/osal/thread/steady_clock_freeze.h"

#include <dlfcn.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <utility>

namespace {

// Nanoseconds of the frozen instant; 0 while the clock runs.
std::atomic<int64_t> gFrozenNs{0};
// The thread whose next reading runs gGap first; 0 for none.
std::atomic<pid_t> gGapTid{0};
std::mutex gGapMutex;
std::function<void()> gGap;  // guarded by gGapMutex

using ClockGettimeFn = int (*)(clockid_t, timespec*);

int RealClockGettime(clockid_t clock, timespec* time) {
  static const auto next = reinterpret_cast<ClockGettimeFn>(dlsym(RTLD_NEXT, "clock_gettime"));
  return next(clock, time);
}

void RunGapOnItsThread() {
  if (gGapTid.load() == 0 || gGapTid.load() != static_cast<pid_t>(syscall(SYS_gettid))) {
    return;
  }
  gGapTid = 0;
  std::function<void()> gap;
  {
    std::lock_guard<std::mutex> lock(gGapMutex);
    gap = std::exchange(gGap, nullptr);
  }
  gap();
}

}  // namespace

// Interposes the system library's clock_gettime for the whole program, the
// standard library's clocks included (the executable's definition is found
// first); every call is forwarded unless the monotonic clock is frozen.
extern "C" __attribute__((visibility("default"))) int clock_gettime(clockid_t clock, timespec* time) {
  if (clock != CLOCK_MONOTONIC || gFrozenNs.load() == 0) {
    return RealClockGettime(clock, time);
  }
  RunGapOnItsThread();
  const int64_t frozen = gFrozenNs.load();
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
  gGapTid = 0;
  gFrozenNs = 0;
}

void SteadyClockFreeze::Advance(std::chrono::nanoseconds by) {
  gFrozenNs += by.count();
}

void SteadyClockFreeze::BeforeNextRead(pid_t tid, std::function<void()> gap) {
  {
    std::lock_guard<std::mutex> lock(gGapMutex);
    gGap = std::move(gap);
  }
  gGapTid = tid;
}

}  // namespace testing_support
