// Stops the monotonic clock in this test program: while a SteadyClockFreeze
// lives, clock_gettime(CLOCK_MONOTONIC), and so std::chrono::steady_clock,
// reads the same instant on every thread, so that items queued one after
// the other get exactly the same due time. Other clocks run on. The test
// moves the instant on, and may have one thread's next reading wait for
// something that happens meanwhile (as if the thread had been preempted
// just before it read the clock).
#ifndef TESTS_OSAL_THREAD_STEADY_CLOCK_FREEZE_H_
#define TESTS_OSAL_THREAD_STEADY_CLOCK_FREEZE_H_

#include <sys/types.h>

#include <chrono>
#include <functional>

namespace testing_support {

class SteadyClockFreeze {
 public:
  SteadyClockFreeze();
  ~SteadyClockFreeze();
  SteadyClockFreeze(const SteadyClockFreeze&) = delete;
  SteadyClockFreeze& operator=(const SteadyClockFreeze&) = delete;

  // Moves the frozen instant forward.
  void Advance(std::chrono::nanoseconds by);
  // The next reading on the kernel thread `tid` runs `gap` first, on that
  // thread; readings inside `gap` are plain frozen readings.
  void BeforeNextRead(pid_t tid, std::function<void()> gap);
};

}  // namespace testing_support

#endif  // TESTS_OSAL_THREAD_STEADY_CLOCK_FREEZE_H_
