// Stops the monotonic clock in this test program: while a SteadyClockFreeze
// lives, clock_gettime(CLOCK_MONOTONIC), and so std::chrono::steady_clock,
// reads the same instant on every thread, so that items queued one after
// the other get exactly the same due time. Other clocks run on.
#ifndef TESTS_OSAL_THREAD_STEADY_CLOCK_FREEZE_H_
#define TESTS_OSAL_THREAD_STEADY_CLOCK_FREEZE_H_

namespace testing_support {

class SteadyClockFreeze {
 public:
  SteadyClockFreeze();
  ~SteadyClockFreeze();
  SteadyClockFreeze(const SteadyClockFreeze&) = delete;
  SteadyClockFreeze& operator=(const SteadyClockFreeze&) = delete;
};

}  // namespace testing_support

#endif  // TESTS_OSAL_THREAD_STEADY_CLOCK_FREEZE_H_
