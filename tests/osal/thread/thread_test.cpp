#include "osal/thread/thread.h"

#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "osal/thread/thread_utils.h"
#include "tests/support/thread_creation_failure.h"
#include "tests/support/log_capture.h"

namespace {

using namespace std::chrono_literals;
using testing_support::LogCapture;
using testing_support::LogLine;

constexpr auto kDeadline = 20s;

template <typename Predicate>
bool WaitUntil(Predicate done) {
  const auto deadline = std::chrono::steady_clock::now() + kDeadline;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// A worker that records what its Run sees. Each Run calls the optional step
// (which says whether to go on) and then sleeps a millisecond, so that the
// loop never spins at real-time priority.
class ProbeThread : public osal::Thread {
 public:
  using Step = std::function<bool(ProbeThread&)>;
  explicit ProbeThread(Step step = nullptr) : mStep(std::move(step)) {}
  ~ProbeThread() override { Stop(); }

  bool WaitRuns(int count) {
    std::unique_lock<std::mutex> lock(mMutex);
    return mCond.wait_for(lock, kDeadline, [&] { return mRuns >= count; });
  }
  int Runs() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mRuns;
  }
  pid_t Tid() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mTid;
  }
  std::string KernelName() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mKernelName;
  }
  int Policy() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mPolicy;
  }

 protected:
  bool Run() override {
    char name[32] = {};
    prctl(PR_GET_NAME, name, 0, 0, 0);
    int policy = -1;
    sched_param param{};
    pthread_getschedparam(pthread_self(), &policy, &param);
    {
      std::lock_guard<std::mutex> lock(mMutex);
      mTid = osal::GetTid();
      mKernelName = name;
      mPolicy = policy;
    }
    const bool more = mStep ? mStep(*this) : true;
    {
      std::lock_guard<std::mutex> lock(mMutex);
      ++mRuns;
      mCond.notify_all();
    }
    std::this_thread::sleep_for(1ms);
    return more;
  }

 private:
  const Step mStep;
  std::mutex mMutex;
  std::condition_variable mCond;
  int mRuns = 0;            // guarded by mMutex
  pid_t mTid = 0;           // guarded by mMutex
  std::string mKernelName;  // guarded by mMutex
  int mPolicy = -1;         // guarded by mMutex
};

bool TaskExists(pid_t tid) {
  return access(("/proc/self/task/" + std::to_string(tid)).c_str(), F_OK) == 0;
}

TEST(Thread, RunsNamedAtRealTimePriorityAndRestartsAfterStop) {
  LogCapture log;
  ProbeThread thread;
  EXPECT_EQ(thread.GetId(), -1);

  ASSERT_EQ(thread.Start("abcdefghijklmnopqrst", osal::Thread::kPriorityNormal), 0);
  ASSERT_TRUE(thread.WaitRuns(1));
  EXPECT_EQ(thread.GetId(), thread.Tid());
  EXPECT_NE(thread.Tid(), osal::GetTid());
  EXPECT_EQ(thread.KernelName(), "abcdefghijklmno");
  if (log.Lines("ZuThread").empty()) {  // the priority was granted
    EXPECT_EQ(thread.Policy(), SCHED_FIFO);
  }

  thread.Stop();
  EXPECT_EQ(thread.GetId(), -1);
  const int runs = thread.Runs();

  ASSERT_EQ(thread.Start("second", osal::Thread::kPriorityLow), 0);
  ASSERT_TRUE(thread.WaitRuns(runs + 1));
  EXPECT_EQ(thread.KernelName(), "second");
  EXPECT_EQ(thread.GetId(), thread.Tid());
  thread.Stop();
}

// Right after a restart GetId may not yet know the new worker's id, but it
// must never give the previous, joined worker's.
TEST(Thread, GetIdRightAfterARestartIsUnknownOrTheNewWorkers) {
  ProbeThread thread;
  for (int round = 0; round < 50; ++round) {
    ASSERT_EQ(thread.Start("restart", osal::Thread::kPriorityNormal), 0);
    const int seen = thread.GetId();
    ASSERT_TRUE(thread.WaitRuns(thread.Runs() + 1));
    const pid_t worker = thread.Tid();
    EXPECT_TRUE(seen == -1 || seen == worker) << "round " << round << ": " << seen << ", worker " << worker;
    thread.Stop();
  }
}

TEST(Thread, SecondStartIsRefusedAndKeepsTheFirstThread) {
  ProbeThread thread;
  ASSERT_EQ(thread.Start("first", osal::Thread::kPriorityNormal), 0);
  ASSERT_TRUE(thread.WaitRuns(1));
  const int id = thread.GetId();

  LogCapture log;
  EXPECT_EQ(thread.Start("second", osal::Thread::kPriorityNormal), -17);
  EXPECT_EQ(log.Lines(), (std::vector<LogLine>{{ZU_LOG_INFO, "ZuThread", "Start:  Thread first is not stop, ignore!"}}));
  const int runs = thread.Runs();
  ASSERT_TRUE(thread.WaitRuns(runs + 1));
  EXPECT_EQ(thread.GetId(), id);
  EXPECT_EQ(thread.KernelName(), "first");
}

TEST(Thread, RunReturningFalseEndsTheThreadWhichStaysHeldUntilStop) {
  ProbeThread thread([](ProbeThread&) { return false; });
  ASSERT_EQ(thread.Start("once", osal::Thread::kPriorityNormal), 0);
  ASSERT_TRUE(thread.WaitRuns(1));
  const pid_t tid = thread.Tid();
  EXPECT_TRUE(WaitUntil([&] { return !TaskExists(tid); }));  // ended by itself

  EXPECT_EQ(thread.Start("again", osal::Thread::kPriorityNormal), -17);  // Finished is not Idle
  EXPECT_EQ(thread.GetId(), tid);
  thread.Stop();
  EXPECT_EQ(thread.Runs(), 1);
  EXPECT_EQ(thread.GetId(), -1);

  ASSERT_EQ(thread.Start("again", osal::Thread::kPriorityNormal), 0);
  ASSERT_TRUE(thread.WaitRuns(2));
  thread.Stop();
}

TEST(Thread, StopFromTheWorkerIsRefusedAndTheLoopGoesOn) {
  LogCapture log;
  ProbeThread thread([](ProbeThread& self) {
    if (self.Runs() == 0) {
      self.Stop();
    }
    return true;
  });
  ASSERT_EQ(thread.Start("selfstop", osal::Thread::kPriorityNormal), 0);
  ASSERT_TRUE(thread.WaitRuns(3));
  EXPECT_EQ(log.Count({ZU_LOG_WARN, "ZuThread", "Stop: Thread selfstop is not allowed to stop itself"}), 1u);
  thread.Stop();
}

TEST(Thread, StopOnAnIdleThreadDoesNothing) {
  LogCapture log;
  ProbeThread thread;
  thread.Stop();
  thread.Stop();
  EXPECT_EQ(thread.GetId(), -1);
  EXPECT_TRUE(log.Lines().empty());
}

// Stop joins a Run in progress: it returns only after that Run returned, and
// no Run starts after it returned. The first Run blocks until the test
// releases it; the release waits (at most a bounded time) for a Stop that
// would return without joining, so that such a fault shows deterministically.
// Whether the worker sees the stop before a second Run is up to scheduling;
// nothing below depends on it.
TEST(Thread, StopReturnsOnlyAfterTheRunInProgressReturned) {
  std::mutex mutex;
  std::condition_variable cond;
  bool entered = false;        // guarded by mutex
  bool released = false;       // guarded by mutex
  bool stop_returned = false;  // guarded by mutex
  std::atomic<bool> first_run_returned{false};
  std::atomic<int> runs_after_stop{0};
  ProbeThread thread([&](ProbeThread&) {
    std::unique_lock<std::mutex> lock(mutex);
    if (stop_returned) {
      ++runs_after_stop;
    }
    entered = true;
    cond.notify_all();
    cond.wait(lock, [&] { return released; });
    first_run_returned = true;
    return true;
  });
  ASSERT_EQ(thread.Start("blocked", osal::Thread::kPriorityNormal), 0);
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(cond.wait_for(lock, kDeadline, [&] { return entered; }));
  }
  std::atomic<bool> returned_before_stop{false};
  std::thread stopper([&] {
    thread.Stop();
    returned_before_stop = first_run_returned.load();
    std::lock_guard<std::mutex> lock(mutex);
    stop_returned = true;
    cond.notify_all();
  });
  {
    std::unique_lock<std::mutex> lock(mutex);
    cond.wait_for(lock, 200ms, [&] { return stop_returned; });  // true only for a Stop that does not join
    released = true;
    cond.notify_all();
  }
  stopper.join();
  EXPECT_TRUE(returned_before_stop);
  EXPECT_EQ(runs_after_stop.load(), 0);
  EXPECT_EQ(thread.GetId(), -1);
}

TEST(Thread, RefusedPriorityIsLoggedAndTheThreadRunsOn) {
  LogCapture log;
  ProbeThread thread;
  ASSERT_EQ(thread.Start("noprio", static_cast<osal::Thread::Priority>(0)), 0);
  ASSERT_TRUE(thread.WaitRuns(2));
  EXPECT_EQ(thread.Policy(), SCHED_OTHER);
  const std::string warning = "noprio, SetThreadPriority ret:22, mId:" + std::to_string(thread.Tid());
  EXPECT_TRUE(log.Contains({ZU_LOG_WARN, "ZuThread", warning})) << testing::PrintToString(log.Lines());
  thread.Stop();
}

TEST(Thread, FailedThreadCreationThrowsAndLeavesTheObjectIdle) {
  ProbeThread thread;
  {
    testing_support::ThreadCreationFailure failure;
    EXPECT_THROW(thread.Start("nothread", osal::Thread::kPriorityNormal), std::system_error);
  }
  EXPECT_EQ(thread.GetId(), -1);
  ASSERT_EQ(thread.Start("late", osal::Thread::kPriorityNormal), 0);
  ASSERT_TRUE(thread.WaitRuns(1));
  EXPECT_EQ(thread.KernelName(), "late");
  thread.Stop();
}

}  // namespace
