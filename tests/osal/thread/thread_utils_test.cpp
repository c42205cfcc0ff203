#include "osal/thread/thread_utils.h"

#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>

#include "tests/support/log_capture.h"

namespace {

using testing_support::LogCapture;
using testing_support::LogLine;

std::string KernelName() {
  char name[32] = {};
  prctl(PR_GET_NAME, name, 0, 0, 0);
  return name;
}

// Runs `body` on a thread of its own, so that names and scheduling set by
// the test never stick to the test runner's thread.
template <typename Body>
void OnOwnThread(Body body) {
  std::thread(body).join();
}

#if defined(__aarch64__)
TEST(SyscallNumbers, AreTheAarch64Ones) {
  EXPECT_EQ(SYS_gettid, 178);
  EXPECT_EQ(SYS_memfd_create, 279);
}
#endif

TEST(GetTid, IsTheKernelIdOfTheCallingThread) {
  const pid_t main_id = osal::GetTid();
  EXPECT_EQ(main_id, osal::GetTid());
  EXPECT_EQ(main_id, static_cast<pid_t>(syscall(SYS_gettid)));
  EXPECT_EQ(main_id, getpid());  // the test runner's main thread

  pid_t other_id = 0;
  pthread_t other_handle{};
  OnOwnThread([&] {
    other_id = osal::GetTid();
    other_handle = osal::GetThreadId();
  });
  EXPECT_NE(other_id, main_id);
  EXPECT_GT(other_id, 0);
  EXPECT_FALSE(pthread_equal(other_handle, osal::GetThreadId()));
  EXPECT_TRUE(pthread_equal(pthread_self(), osal::GetThreadId()));
}

TEST(SetThreadName, NamesTheCallingThreadCutTo15Bytes) {
  OnOwnThread([] {
    osal::SetThreadName("worker");
    EXPECT_EQ(KernelName(), "worker");
    osal::SetThreadName("abcdefghijklmnopqrst");  // 20 characters
    EXPECT_EQ(KernelName(), "abcdefghijklmno");
  });
}

TEST(SetThreadName, RefusesAnEmptyNameWithAWarning) {
  LogCapture log;
  OnOwnThread([] {
    osal::SetThreadName("kept");
    osal::SetThreadName("");
    EXPECT_EQ(KernelName(), "kept");
  });
  EXPECT_EQ(log.Lines(), (std::vector<LogLine>{{ZU_LOG_WARN, "ZuThread", "SetThreadName: ThreadName can't be empty."}}));
}

TEST(SetThreadPriority, SwitchesATimeSharingThreadToFifo) {
  OnOwnThread([] {
    int policy = -1;
    sched_param param{};
    ASSERT_EQ(pthread_getschedparam(pthread_self(), &policy, &param), 0);
    ASSERT_EQ(policy, SCHED_OTHER);
    const int ret = osal::SetThreadPriority(static_cast<long>(pthread_self()), 7);
    if (ret == EPERM) {
      GTEST_SKIP() << "no privilege for real-time scheduling here";
    }
    ASSERT_EQ(ret, 0);
    ASSERT_EQ(pthread_getschedparam(pthread_self(), &policy, &param), 0);
    EXPECT_EQ(policy, SCHED_FIFO);
    EXPECT_EQ(param.sched_priority, 7);
  });
}

TEST(SetThreadPriority, ReturnsThePlatformErrorForAnOutOfRangePriority) {
  LogCapture log;
  OnOwnThread([] {
    for (int priority : {0, 100}) {
      errno = EBADF;  // the calls return their error and leave errno as it is
      EXPECT_EQ(osal::SetThreadPriority(static_cast<long>(pthread_self()), priority), EINVAL) << priority;
    }
    int policy = -1;
    sched_param param{};
    ASSERT_EQ(pthread_getschedparam(pthread_self(), &policy, &param), 0);
    EXPECT_EQ(policy, SCHED_OTHER);  // unchanged
  });
  const auto lines = log.Lines("ZuThread");
  ASSERT_EQ(lines.size(), 2u);
  for (const LogLine& line : lines) {
    EXPECT_EQ(line.level, ZU_LOG_ERROR);
    EXPECT_EQ(line.message, std::string("SetThreadPriority: pthread_setschedparam failed: 22, ") + strerror(EINVAL));
  }
}

int64_t ClockUs(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

// Each osal clock read between two direct reads of its clock lies between
// them: it is that clock, in microseconds.
TEST(Clocks, ReadTheirClocksInMicroseconds) {
  struct Case {
    clockid_t clock;
    int64_t (*read)();
  };
  for (const Case& c : {Case{CLOCK_REALTIME, &osal::GetTimeUs}, Case{CLOCK_MONOTONIC, &osal::GetTimeUsBoot},
                        Case{CLOCK_BOOTTIME, &osal::GetTimeUsBootWithSuspend}}) {
    const int64_t before = ClockUs(c.clock);
    const int64_t value = c.read();
    const int64_t after = ClockUs(c.clock);
    EXPECT_LE(before, value) << c.clock;
    EXPECT_LE(value, after) << c.clock;
  }
}

TEST(Clocks, BootClocksNeverGoBackAndSuspendTimeIsIncluded) {
  int64_t previous = osal::GetTimeUsBoot();
  for (int i = 0; i < 1000; ++i) {
    const int64_t boot = osal::GetTimeUsBoot();
    EXPECT_GE(boot, previous);
    EXPECT_GE(osal::GetTimeUsBootWithSuspend(), boot);
    previous = boot;
  }
}

}  // namespace
