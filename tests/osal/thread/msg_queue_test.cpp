#include "osal/thread/msg_queue.h"

#include <gtest/gtest.h>
#include <sys/prctl.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "osal/thread/thread_utils.h"
#include "tests/osal/thread/thread_creation_failure.h"
#include "tests/support/log_capture.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing_support::LogCapture;
using testing_support::LogLine;

constexpr auto kDeadline = 20s;
constexpr auto kPriority = osal::Thread::kPriorityNormal;
constexpr unsigned long kOneHour = 3600UL * 1000 * 1000 * 1000;

unsigned long Ns(std::chrono::nanoseconds delay) {
  return static_cast<unsigned long>(delay.count());
}

// What happened to the handlers, in order: "run X" for a HandleMsg, "notify
// X" for a NotifyFinished from the queue.
class Journal {
 public:
  void Add(std::string event) {
    std::lock_guard<std::mutex> lock(mMutex);
    mEvents.push_back(std::move(event));
  }
  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mEvents;
  }
 private:
  std::mutex mMutex;
  std::vector<std::string> mEvents;  // guarded by mMutex
};

// Journals its runs and the queue's notifications; a run completes the
// handler without journaling a notification. Its completion is the last
// thing a run does, so a test waits for it (Wait) before the probe goes.
class Probe : public osal::MsgHandlerBase {
 public:
  Probe(Journal& journal, std::string name) : mJournal(journal), mName(std::move(name)) {}

  void HandleMsg(int32_t& argument) override {
    {
      std::lock_guard<std::mutex> lock(mMutex);
      mRunAt = Clock::now();
      mTid = osal::GetTid();
      char name[32] = {};
      prctl(PR_GET_NAME, name, 0, 0, 0);
      mKernelName = name;
      mArgument = argument;
    }
    mJournal.Add("run " + mName);
    MsgHandlerBase::NotifyFinished();
  }
  void NotifyFinished() override {
    mJournal.Add("notify " + mName);
    MsgHandlerBase::NotifyFinished();
  }

  Clock::time_point RunAt() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mRunAt;
  }
  pid_t Tid() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mTid;
  }
  std::string KernelName() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mKernelName;
  }
  int32_t Argument() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mArgument;
  }

 private:
  Journal& mJournal;
  const std::string mName;
  std::mutex mMutex;
  Clock::time_point mRunAt;  // guarded by mMutex
  pid_t mTid = 0;            // guarded by mMutex
  std::string mKernelName;   // guarded by mMutex
  int32_t mArgument = -1;    // guarded by mMutex
};

// Holds the worker inside HandleMsg until Release, so that the test can
// arrange the queue behind it.
class Gate : public osal::IMsgHandler {
 public:
  void HandleMsg(int32_t&) override {
    std::unique_lock<std::mutex> lock(mMutex);
    mEntered = true;
    mCond.notify_all();
    mCond.wait(lock, [this] { return mReleased; });
    mReturned = true;
  }
  bool WaitEntered() {
    std::unique_lock<std::mutex> lock(mMutex);
    return mCond.wait_for(lock, kDeadline, [this] { return mEntered; });
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mMutex);
    mReleased = true;
    mCond.notify_all();
  }
  bool Returned() const { return mReturned; }

 private:
  std::mutex mMutex;
  std::condition_variable mCond;
  bool mEntered = false;   // guarded by mMutex
  bool mReleased = false;  // guarded by mMutex
  std::atomic<bool> mReturned{false};
};

TEST(MsgQueue, RefusesANullHandlerSilentlyAndAnyHandlerWhenNotStarted) {
  LogCapture log;
  osal::MsgQueue queue;
  Journal journal;
  Probe probe(journal, "p");
  const LogLine refused{ZU_LOG_ERROR, "MsgQueue", "QueueMsg: QueueMsg thread not start!"};

  EXPECT_EQ(queue.QueueMsg(nullptr, 0), -38);
  EXPECT_TRUE(log.Lines().empty());
  EXPECT_EQ(queue.QueueMsg(&probe, 0), -38);
  EXPECT_EQ(log.Lines(), std::vector<LogLine>{refused});
  EXPECT_EQ(queue.GetThreadId(), -1);

  ASSERT_EQ(queue.Start("refusals", kPriority), 0);
  EXPECT_EQ(queue.QueueMsg(nullptr, 0), -38);
  queue.Stop();
  EXPECT_EQ(queue.QueueMsg(&probe, 0), -38);
  EXPECT_EQ(log.Count(refused), 2u);
  EXPECT_EQ(log.Lines().size(), 2u);
  EXPECT_TRUE(journal.Events().empty());
}

TEST(MsgQueue, WorkerIsNamedAndReportsItsKernelId) {
  osal::MsgQueue queue;
  EXPECT_EQ(queue.GetThreadId(), -1);
  ASSERT_EQ(queue.Start("abcdefghijklmnopqrst", kPriority), 0);
  Journal journal;
  Probe probe(journal, "p");
  ASSERT_EQ(queue.QueueMsg(&probe, 0), 0);
  probe.Wait();
  EXPECT_EQ(queue.GetThreadId(), probe.Tid());
  EXPECT_NE(probe.Tid(), osal::GetTid());
  EXPECT_EQ(probe.KernelName(), "abcdefghijklmno");
  EXPECT_EQ(probe.Argument(), 0);
  queue.Stop();
  EXPECT_EQ(queue.GetThreadId(), -1);
}

TEST(MsgQueue, SecondStartIsIgnoredAndKeepsNameAndWorker) {
  osal::MsgQueue queue;
  ASSERT_EQ(queue.Start("first", kPriority), 0);
  Journal journal;
  Probe before(journal, "before");
  ASSERT_EQ(queue.QueueMsg(&before, 0), 0);
  before.Wait();

  LogCapture log;
  EXPECT_EQ(queue.Start("second", kPriority), 0);
  EXPECT_EQ(log.Lines(), (std::vector<LogLine>{{ZU_LOG_INFO, "MsgQueue", "Start: MsgProcessor first is not stop, ignored!"}}));
  Probe after(journal, "after");
  ASSERT_EQ(queue.QueueMsg(&after, 0), 0);
  after.Wait();
  EXPECT_EQ(after.Tid(), before.Tid());
  EXPECT_EQ(after.KernelName(), "first");
}

// Runs in due-time order and never before the due time. The due time the
// queue takes lies between the clock read just before and just after
// QueueMsg; the order is asserted for every pair whose ranges do not overlap
// (all of them, unless the test thread was held up for 10 ms).
TEST(MsgQueue, RunsItemsInDueTimeOrderAndNeverBeforeDue) {
  osal::MsgQueue queue;
  ASSERT_EQ(queue.Start("order", kPriority), 0);
  Journal journal;
  struct Queued {
    std::chrono::milliseconds delay;
    std::unique_ptr<Probe> probe;
    Clock::time_point earliest_due;
    Clock::time_point latest_due;
  };
  std::vector<Queued> items;
  for (auto delay : {30ms, 10ms, 20ms}) {
    items.push_back({delay, std::make_unique<Probe>(journal, std::to_string(delay.count())), {}, {}});
    Queued& item = items.back();
    item.earliest_due = Clock::now() + delay;
    ASSERT_EQ(queue.QueueMsg(item.probe.get(), Ns(delay)), 0);
    item.latest_due = Clock::now() + delay;
  }
  for (const Queued& item : items) {
    item.probe->Wait();
  }
  for (const Queued& item : items) {
    EXPECT_GE(item.probe->RunAt(), item.earliest_due) << item.delay.count();
    for (const Queued& later : items) {
      if (item.latest_due < later.earliest_due) {
        EXPECT_LT(item.probe->RunAt(), later.probe->RunAt()) << item.delay.count() << " before " << later.delay.count();
      }
    }
  }
  EXPECT_EQ(journal.Events(), (std::vector<std::string>{"run 10", "run 20", "run 30"}));
}

TEST(MsgQueue, DueItemsRunInQueueOrder) {
  osal::MsgQueue queue;
  ASSERT_EQ(queue.Start("fifo", kPriority), 0);
  Gate gate;
  ASSERT_EQ(queue.QueueMsg(&gate, 0), 0);
  ASSERT_TRUE(gate.WaitEntered());
  // The clock may read the same nanosecond more than once: equal and rising
  // due times alike must keep queue order.
  Journal journal;
  std::vector<std::unique_ptr<Probe>> probes;
  std::vector<std::string> expected;
  for (int i = 0; i < 200; ++i) {
    probes.push_back(std::make_unique<Probe>(journal, std::to_string(i)));
    ASSERT_EQ(queue.QueueMsg(probes.back().get(), 0), 0);
    expected.push_back("run " + std::to_string(i));
  }
  gate.Release();
  for (auto& probe : probes) {
    probe->Wait();
  }
  EXPECT_EQ(journal.Events(), expected);
}

TEST(MsgQueue, EarlierItemQueuedWhileTheWorkerWaitsRunsAtItsOwnDueTime) {
  osal::MsgQueue queue;
  ASSERT_EQ(queue.Start("wake", kPriority), 0);
  Journal journal;
  Probe late(journal, "late");
  Probe early(journal, "early");
  const Clock::time_point late_due = Clock::now() + 10s;
  ASSERT_EQ(queue.QueueMsg(&late, Ns(10s)), 0);
  std::this_thread::sleep_for(5ms);  // lets the worker settle into its wait (not needed for the checks)
  ASSERT_EQ(queue.QueueMsg(&early, Ns(20ms)), 0);
  early.Wait();
  EXPECT_LT(early.RunAt(), late_due);  // the worker did not sleep on until the later item
  EXPECT_EQ(journal.Events(), std::vector<std::string>{"run early"});
  queue.RemoveMsg(&late);
  EXPECT_EQ(journal.Events(), (std::vector<std::string>{"run early", "notify late"}));
}

TEST(MsgQueue, RemoveMsgNotifiesEachPendingItemOfTheHandlerAndDropsThem) {
  osal::MsgQueue queue;
  ASSERT_EQ(queue.Start("remove", kPriority), 0);
  Journal journal;
  Probe removed(journal, "removed");
  Probe kept(journal, "kept");
  Probe never_queued(journal, "never");
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(queue.QueueMsg(&removed, Ns(30ms)), 0);
  }
  ASSERT_EQ(queue.QueueMsg(&kept, Ns(40ms)), 0);  // due after every removed item

  queue.RemoveMsg(&removed);
  queue.RemoveMsg(&never_queued);
  queue.RemoveMsg(nullptr);
  EXPECT_EQ(journal.Events(), (std::vector<std::string>{"notify removed", "notify removed", "notify removed"}));
  removed.Wait();  // released by the notifications

  // Had a removed item stayed queued, it would have run before this one.
  kept.Wait();
  EXPECT_EQ(journal.Events(),
            (std::vector<std::string>{"notify removed", "notify removed", "notify removed", "run kept"}));
}

TEST(MsgQueue, StopNotifiesPendingItemsInDueOrderAndReleasesWaiters) {
  osal::MsgQueue queue;
  ASSERT_EQ(queue.Start("stop", kPriority), 0);
  Journal journal;
  Probe a(journal, "a");
  Probe b(journal, "b");
  ASSERT_EQ(queue.QueueMsg(&b, 2 * kOneHour), 0);
  ASSERT_EQ(queue.QueueMsg(&a, kOneHour), 0);
  ASSERT_EQ(queue.QueueMsg(&b, 3 * kOneHour), 0);
  std::thread waiter([&] { b.Wait(); });

  queue.Stop();
  waiter.join();
  EXPECT_EQ(journal.Events(), (std::vector<std::string>{"notify a", "notify b", "notify b"}));
  a.Wait();
  queue.Stop();  // idle again: nothing more happens
  EXPECT_EQ(journal.Events().size(), 3u);
}

TEST(MsgQueue, StopWaitsForTheRunningHandlerAndRunsNothingAfterIt) {
  osal::MsgQueue queue;
  ASSERT_EQ(queue.Start("stopwait", kPriority), 0);
  Gate gate;
  Journal journal;
  Probe behind(journal, "behind");
  ASSERT_EQ(queue.QueueMsg(&gate, 0), 0);
  ASSERT_TRUE(gate.WaitEntered());
  ASSERT_EQ(queue.QueueMsg(&behind, 0), 0);  // due, but the worker is busy

  std::atomic<bool> returned_after_handler{false};
  std::thread stopper([&] {
    queue.Stop();
    returned_after_handler = gate.Returned();
  });
  std::this_thread::sleep_for(20ms);  // lets Stop start joining; the checks hold either way
  gate.Release();
  stopper.join();
  EXPECT_TRUE(returned_after_handler);
  EXPECT_EQ(journal.Events(), std::vector<std::string>{"notify behind"});
}

// A delay that carries the due time past 2^64 must not wrap into the past.
TEST(MsgQueue, DueTimePastTheClockRangeIsHeldAtTheEndAndKeepsQueueOrder) {
  osal::MsgQueue queue;
  ASSERT_EQ(queue.Start("saturate", kPriority), 0);
  Journal journal;
  Probe first(journal, "first");
  Probe second(journal, "second");
  Probe soon(journal, "soon");
  ASSERT_EQ(queue.QueueMsg(&first, ULONG_MAX), 0);
  ASSERT_EQ(queue.QueueMsg(&second, ULONG_MAX - 1000), 0);  // the same saturated due time
  ASSERT_EQ(queue.QueueMsg(&first, ULONG_MAX / 2 + 1), 0);  // past 2^63: beyond the clock's own range
  ASSERT_EQ(queue.QueueMsg(&soon, Ns(10ms)), 0);
  soon.Wait();
  std::this_thread::sleep_for(20ms);  // had the far items wrapped, they would have run by now
  queue.Stop();
  EXPECT_EQ(journal.Events(), (std::vector<std::string>{"run soon", "notify first", "notify first", "notify second"}));
}

TEST(MsgQueue, HandlerMayQueueItselfAgain) {
  osal::MsgQueue queue;
  ASSERT_EQ(queue.Start("requeue", kPriority), 0);
  class Requeue : public osal::MsgHandlerBase {
   public:
    explicit Requeue(osal::MsgQueue& queue) : mQueue(queue) {}
    void HandleMsg(int32_t&) override {
      if (++mRuns < 5) {
        EXPECT_EQ(mQueue.QueueMsg(this, 1000), 0);
        EXPECT_NE(mQueue.GetThreadId(), -1);
        return;
      }
      NotifyFinished();
    }
    int mRuns = 0;  // worker only until NotifyFinished

   private:
    osal::MsgQueue& mQueue;
  };
  Requeue handler(queue);
  ASSERT_EQ(queue.QueueMsg(&handler, 0), 0);
  handler.Wait();
  EXPECT_EQ(handler.mRuns, 5);
}

TEST(MsgQueue, FinishedHandlerWaitReturnsAtOnceEvenWhenQueuedAgain) {
  osal::MsgQueue queue;
  ASSERT_EQ(queue.Start("oneshot", kPriority), 0);
  Journal journal;
  Probe probe(journal, "p");
  ASSERT_EQ(queue.QueueMsg(&probe, 0), 0);
  probe.Wait();
  ASSERT_EQ(queue.QueueMsg(&probe, kOneHour), 0);
  probe.Wait();
  probe.Wait();
  EXPECT_EQ(journal.Events(), std::vector<std::string>{"run p"});
  queue.Stop();  // the probe goes before the queue
  EXPECT_EQ(journal.Events(), (std::vector<std::string>{"run p", "notify p"}));
}

TEST(MsgQueue, RestartsAfterStopAndTheDestructorStops) {
  Journal journal;
  Probe pending(journal, "pending");
  {
    osal::MsgQueue queue;
    ASSERT_EQ(queue.Start("one", kPriority), 0);
    queue.Stop();
    ASSERT_EQ(queue.Start("two", kPriority), 0);
    Probe probe(journal, "probe");
    ASSERT_EQ(queue.QueueMsg(&probe, 0), 0);
    probe.Wait();
    EXPECT_EQ(probe.KernelName(), "two");
    ASSERT_EQ(queue.QueueMsg(&pending, kOneHour), 0);
  }
  EXPECT_EQ(journal.Events(), (std::vector<std::string>{"run probe", "notify pending"}));
}

TEST(MsgQueue, FailedThreadCreationLeavesTheQueueIdleAndStartable) {
  Journal journal;
  Probe probe(journal, "p");
  osal::MsgQueue queue;
  {
    testing_support::ThreadCreationFailure failure;
    EXPECT_THROW(queue.Start("nothread", kPriority), std::system_error);
  }
  {
    LogCapture log;
    ASSERT_EQ(queue.QueueMsg(&probe, 0), -38);  // else nothing would ever run it
    EXPECT_EQ(queue.GetThreadId(), -1);
    EXPECT_EQ(log.Lines(), (std::vector<LogLine>{{ZU_LOG_ERROR, "MsgQueue", "QueueMsg: QueueMsg thread not start!"}}));
  }
  LogCapture log;
  ASSERT_EQ(queue.Start("late", kPriority), 0);
  EXPECT_TRUE(log.Lines("MsgQueue").empty());  // a real start, not "already started"
  ASSERT_EQ(queue.QueueMsg(&probe, 0), 0);
  probe.Wait();
  EXPECT_EQ(probe.KernelName(), "late");
}

}  // namespace
