#include "osal/thread/msg_queue.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "osal/thread/thread_utils.h"
#include "tests/osal/thread/steady_clock_freeze.h"
#include "tests/support/thread_creation_failure.h"
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
      sched_param param{};
      pthread_getschedparam(pthread_self(), &mPolicy, &param);
      mPriority = param.sched_priority;
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
  int Policy() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mPolicy;
  }
  int Priority() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mPriority;
  }

 private:
  Journal& mJournal;
  const std::string mName;
  std::mutex mMutex;
  Clock::time_point mRunAt;  // guarded by mMutex
  pid_t mTid = 0;            // guarded by mMutex
  std::string mKernelName;   // guarded by mMutex
  int32_t mArgument = -1;    // guarded by mMutex
  int mPolicy = -1;          // guarded by mMutex
  int mPriority = -1;        // guarded by mMutex
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

// A started queue whose worker is held inside `gate`, so that the test can
// arrange the items behind it before it releases the gate.
class HeldQueue : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(queue.Start("held", kPriority), 0);
    ASSERT_EQ(queue.QueueMsg(&gate, 0), 0);
    ASSERT_TRUE(gate.WaitEntered());
  }

  osal::MsgQueue queue;
  Gate gate;
};

// Waits until the kernel reports the thread `tid` of this process asleep.
bool WaitAsleep(int tid) {
  const auto deadline = Clock::now() + kDeadline;
  const std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
  while (Clock::now() < deadline) {
    std::ifstream stat(path);
    std::string line;
    std::getline(stat, line);
    const size_t state = line.rfind(')') + 2;  // the field after "(name)"
    if (state < line.size() && line[state] == 'S') {
      return true;
    }
    std::this_thread::yield();
  }
  return false;
}

// Waits until the queue refuses items, that is until a Stop has begun.
bool WaitRefusing(osal::MsgQueue& queue, osal::IMsgHandler& filler) {
  const auto deadline = Clock::now() + kDeadline;
  while (Clock::now() < deadline) {
    if (queue.QueueMsg(&filler, kOneHour) != 0) {
      return true;
    }
    std::this_thread::yield();
  }
  return false;
}

// Whether this process may give a thread first-in-first-out scheduling.
bool RealTimeGranted() {
  bool granted = false;
  std::thread probe([&] {
    const sched_param param{osal::Thread::kPriorityHigh};
    granted = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
  });
  probe.join();
  return granted;
}

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

// The worker carries the name (cut to the kernel's 15 bytes) and reports
// its kernel id; a second Start is logged and keeps both.
TEST(MsgQueue, WorkerIsNamedReportsItsKernelIdAndASecondStartKeepsBoth) {
  osal::MsgQueue queue;
  EXPECT_EQ(queue.GetThreadId(), -1);
  ASSERT_EQ(queue.Start("abcdefghijklmnopqrst", kPriority), 0);
  Journal journal;
  Probe before(journal, "before");
  ASSERT_EQ(queue.QueueMsg(&before, 0), 0);
  before.Wait();
  EXPECT_EQ(queue.GetThreadId(), before.Tid());
  EXPECT_NE(before.Tid(), osal::GetTid());
  EXPECT_EQ(before.KernelName(), "abcdefghijklmno");
  EXPECT_EQ(before.Argument(), 0);

  LogCapture log;
  EXPECT_EQ(queue.Start("second", kPriority), 0);
  EXPECT_EQ(log.Lines(), (std::vector<LogLine>{
                             {ZU_LOG_INFO, "MsgQueue", "Start: MsgProcessor abcdefghijklmnopqrst is not stop, ignored!"}}));
  Probe after(journal, "after");
  ASSERT_EQ(queue.QueueMsg(&after, 0), 0);
  after.Wait();
  EXPECT_EQ(after.Tid(), before.Tid());
  EXPECT_EQ(after.KernelName(), "abcdefghijklmno");
  queue.Stop();
  EXPECT_EQ(queue.GetThreadId(), -1);
}

TEST(MsgQueue, WorkerRunsAtTheRealTimePriorityGivenToStart) {
  if (!RealTimeGranted()) {
    GTEST_SKIP() << "this process may not use real-time scheduling";
  }
  osal::MsgQueue queue;
  Journal journal;
  for (auto priority : {osal::Thread::kPriorityHigh, osal::Thread::kPriorityLow}) {
    ASSERT_EQ(queue.Start("prio", priority), 0);
    Probe probe(journal, "p");
    ASSERT_EQ(queue.QueueMsg(&probe, 0), 0);
    probe.Wait();
    EXPECT_EQ(probe.Policy(), SCHED_FIFO);
    EXPECT_EQ(probe.Priority(), priority);
    queue.Stop();
  }
}

// Runs in due-time order and never before the due time. The due time the
// queue takes lies between the clock read just before and just after
// QueueMsg; the order is asserted for every pair whose ranges do not overlap
// (all of them, unless the test thread was held up for 100 ms).
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
  for (auto delay : {300ms, 100ms, 200ms}) {
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
  EXPECT_EQ(journal.Events().size(), 3u);  // each ran once, nothing was notified
}

// Equal due times for real: with the clock stopped, every QueueMsg reads the
// same instant. The worker is held meanwhile, so that it sees them all.
TEST_F(HeldQueue, ItemsOfOneDueTimeRunInQueueOrder) {
  Journal journal;
  std::vector<std::unique_ptr<Probe>> probes;
  {
    testing_support::SteadyClockFreeze frozen;
    // Two due times, interleaved: now and now + 1 us.
    for (int i = 0; i < 20; ++i) {
      probes.push_back(std::make_unique<Probe>(journal, std::to_string(i)));
      ASSERT_EQ(queue.QueueMsg(probes.back().get(), i % 2 == 0 ? 0 : 1000), 0);
    }
  }
  gate.Release();
  for (auto& probe : probes) {
    probe->Wait();
  }
  std::vector<std::string> expected;
  for (int parity : {0, 1}) {
    for (int i = parity; i < 20; i += 2) {
      expected.push_back("run " + std::to_string(i));
    }
  }
  EXPECT_EQ(journal.Events(), expected);
}

// The worker is preempted just before it reads the clock for its next step;
// meanwhile a producer queues `i`, and the clock moves on to `read_at`. Every
// item queued by the time the worker reads the clock is considered with it.
TEST(MsgQueue, ItemQueuedJustBeforeTheWorkerReadsTheClockKeepsItsDueTimeOrder) {
  struct Case {
    const char* name;
    std::chrono::milliseconds j_delay;  // j is queued at 0, while the worker is held
    std::chrono::milliseconds i_at;     // the clock when i is queued
    std::chrono::milliseconds i_delay;
    std::chrono::milliseconds read_at;  // the clock the worker reads
    std::vector<std::string> order;
  };
  const Case cases[] = {
      {"i due at once", 50ms, 1ms, 0ms, 80ms, {"run i", "run j"}},
      {"i due later, before j", 50ms, 1ms, 10ms, 80ms, {"run i", "run j"}},
      {"i due with j", 50ms, 50ms, 0ms, 80ms, {"run j", "run i"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing_support::SteadyClockFreeze clock;
    osal::MsgQueue queue;
    ASSERT_EQ(queue.Start("preempted", kPriority), 0);
    Gate gate;
    ASSERT_EQ(queue.QueueMsg(&gate, 0), 0);
    ASSERT_TRUE(gate.WaitEntered());
    Journal journal;
    Probe i(journal, "i");
    Probe j(journal, "j");
    ASSERT_EQ(queue.QueueMsg(&j, Ns(c.j_delay)), 0);
    clock.BeforeNextRead(queue.GetThreadId(), [&] {
      clock.Advance(c.i_at);
      EXPECT_EQ(queue.QueueMsg(&i, Ns(c.i_delay)), 0);
      clock.Advance(c.read_at - c.i_at);
    });
    gate.Release();
    i.Wait();
    j.Wait();
    EXPECT_EQ(journal.Events(), c.order);
  }
}

TEST_F(HeldQueue, EarlierItemQueuedWhileTheWorkerWaitsRunsAtItsOwnDueTime) {
  Journal journal;
  Probe late(journal, "late");
  Probe early(journal, "early");
  const Clock::time_point late_due = Clock::now() + 10s;
  ASSERT_EQ(queue.QueueMsg(&late, Ns(10s)), 0);
  gate.Release();
  // Lets the worker settle into its wait for the late item; the checks
  // below hold either way.
  while (!gate.Returned()) {
    std::this_thread::yield();
  }
  ASSERT_TRUE(WaitAsleep(queue.GetThreadId()));
  ASSERT_EQ(queue.QueueMsg(&early, Ns(20ms)), 0);
  early.Wait();
  EXPECT_LT(early.RunAt(), late_due);  // the worker did not sleep on until the later item
  EXPECT_EQ(journal.Events(), std::vector<std::string>{"run early"});
  queue.RemoveMsg(&late);
  EXPECT_EQ(journal.Events(), (std::vector<std::string>{"run early", "notify late"}));
}

// The worker is held while the items are queued and removed, so none of
// them can have run, whatever the scheduling.
TEST_F(HeldQueue, RemoveMsgNotifiesEachPendingItemOfTheHandlerAndDropsThem) {
  Journal journal;
  Probe removed(journal, "removed");
  Probe kept(journal, "kept");
  Probe never_queued(journal, "never");
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(queue.QueueMsg(&removed, 0), 0);
  }
  ASSERT_EQ(queue.QueueMsg(&kept, 0), 0);  // due after every removed item

  queue.RemoveMsg(&removed);
  queue.RemoveMsg(&never_queued);
  queue.RemoveMsg(nullptr);
  EXPECT_EQ(journal.Events(), (std::vector<std::string>{"notify removed", "notify removed", "notify removed"}));
  removed.Wait();  // released by the notifications

  // Had a removed item stayed queued, it would have run before this one.
  gate.Release();
  kept.Wait();
  EXPECT_EQ(journal.Events(),
            (std::vector<std::string>{"notify removed", "notify removed", "notify removed", "run kept"}));
}

// Items queued behind a running handler may already have been taken by the
// worker together with the next one; a RemoveMsg or Stop still discards them
// before they run.
TEST(MsgQueue, RemoveMsgAndStopDiscardItemsTheWorkerHasTakenButNotRun) {
  osal::MsgQueue queue;
  ASSERT_EQ(queue.Start("taken", kPriority), 0);
  Journal journal;
  Probe removed(journal, "removed");
  Probe stopped(journal, "stopped");
  Journal fillers;
  Probe filler(fillers, "filler");
  Gate first;
  Gate second;
  ASSERT_EQ(queue.QueueMsg(&first, 0), 0);
  ASSERT_TRUE(first.WaitEntered());
  ASSERT_EQ(queue.QueueMsg(&second, 0), 0);
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(queue.QueueMsg(&removed, 0), 0);
    ASSERT_EQ(queue.QueueMsg(&stopped, 0), 0);
  }
  first.Release();
  ASSERT_TRUE(second.WaitEntered());
  queue.RemoveMsg(&removed);
  EXPECT_EQ(journal.Events(), (std::vector<std::string>{"notify removed", "notify removed"}));

  std::thread stopper([&] { queue.Stop(); });
  ASSERT_TRUE(WaitRefusing(queue, filler));
  second.Release();
  stopper.join();
  EXPECT_EQ(journal.Events(), (std::vector<std::string>{"notify removed", "notify removed", "notify stopped",
                                                        "notify stopped"}));
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

// The item behind the running handler is released only after the queue
// refuses new items, that is after Stop has begun: it can only be notified.
TEST_F(HeldQueue, StopWaitsForTheRunningHandlerAndRunsNothingAfterIt) {
  Journal journal;
  Probe behind(journal, "behind");
  Probe filler(journal, "filler");
  ASSERT_EQ(queue.QueueMsg(&behind, 0), 0);  // due, but the worker is busy

  std::atomic<bool> returned_after_handler{false};
  std::thread stopper([&] {
    queue.Stop();
    returned_after_handler = gate.Returned();
  });
  ASSERT_TRUE(WaitRefusing(queue, filler));
  gate.Release();
  stopper.join();
  EXPECT_TRUE(returned_after_handler);
  const std::vector<std::string> events = journal.Events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.front(), "notify behind");
  for (const std::string& event : events) {
    EXPECT_NE(event.rfind("run ", 0), 0u) << event;
  }
}

// A second Stop while the first is joining returns only when no HandleMsg
// runs any more: its caller may then free the handler.
// A handler stops its own queue: refused like a thread stopping itself, and
// the queue runs on, unless another thread is stopping it.
TEST(MsgQueue, StopFromItsOwnHandlerIsRefusedAndTheQueueRunsOn) {
  struct Case {
    const char* name;
    bool stopped_meanwhile;  // another thread's Stop is waiting for the handler
    int queued_after;        // QueueMsg right after the refused Stop
  };
  for (const Case& c : {Case{"alone", false, 0}, Case{"during another Stop", true, -38}}) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    osal::MsgQueue queue;
    ASSERT_EQ(queue.Start("selfstop", kPriority), 0);
    Journal journal;
    Probe after(journal, "after");
    std::thread other;
    int queued_after = 1;
    struct SelfStop : osal::MsgHandlerBase {
      std::function<void()> body;
      void HandleMsg(int32_t&) override {
        body();
        NotifyFinished();
      }
    } stopper;
    stopper.body = [&] {
      if (c.stopped_meanwhile) {
        other = std::thread([&] { queue.Stop(); });
        EXPECT_TRUE(WaitRefusing(queue, after));
      }
      queue.Stop();
      queued_after = queue.QueueMsg(&after, 0);
    };
    ASSERT_EQ(queue.QueueMsg(&stopper, 0), 0);
    stopper.Wait();
    if (other.joinable()) {
      other.join();
    }
    EXPECT_EQ(queued_after, c.queued_after);
    if (queued_after == 0) {
      after.Wait();  // the queue runs on
    }
    EXPECT_EQ(log.Count({ZU_LOG_WARN, "MsgQueue", "Stop: MsgProcessor selfstop is not allowed to stop itself"}), 1u);
  }
}

TEST_F(HeldQueue, EveryConcurrentStopWaitsForTheRunningHandler) {
  Journal journal;
  Probe filler(journal, "filler");

  std::atomic<bool> first_after_handler{false};
  std::thread first([&] {
    queue.Stop();
    first_after_handler = gate.Returned();
  });
  ASSERT_TRUE(WaitRefusing(queue, filler));
  std::mutex mutex;
  std::condition_variable cond;
  bool second_returned = false;  // guarded by mutex
  std::atomic<bool> second_after_handler{false};
  std::thread second([&] {
    queue.Stop();
    second_after_handler = gate.Returned();
    std::lock_guard<std::mutex> lock(mutex);
    second_returned = true;
    cond.notify_all();
  });
  {
    // Gives a second Stop that does not wait the chance to return; a Stop
    // that waits never does, and nothing below depends on this wait.
    std::unique_lock<std::mutex> lock(mutex);
    cond.wait_for(lock, 200ms, [&] { return second_returned; });
  }
  gate.Release();
  first.join();
  second.join();
  EXPECT_TRUE(first_after_handler);
  EXPECT_TRUE(second_after_handler);
}

// Start and Stop racing from two threads: each Stop returns, one worker at a
// time serves the queue, and an item accepted after a Start is run, never
// discarded by a Stop that began before it was accepted.
TEST(MsgQueue, StartAndStopFromTwoThreadsNeitherHangNorDropAcceptedItems) {
  osal::MsgQueue queue;
  std::mutex mutex;
  std::condition_variable cond;
  int finished_rounds = 0;  // guarded by mutex
  constexpr int kRounds = 1000;
  bool over = false;        // guarded by mutex
  std::thread racer([&] {
    for (int round = 0; round < kRounds && !::testing::Test::HasFailure(); ++round) {
      Journal journal;
      Probe probe(journal, "accepted");
      Journal fillers;
      Probe filler(fillers, "filler");
      EXPECT_EQ(queue.Start("race", kPriority), 0);
      std::thread stopper([&] { queue.Stop(); });
      // Starts again as soon as the Stop has begun, while the old worker may
      // not have seen it yet.
      EXPECT_TRUE(WaitRefusing(queue, filler));
      EXPECT_EQ(queue.Start("race", kPriority), 0);
      const bool accepted = queue.QueueMsg(&probe, 0) == 0;
      stopper.join();
      if (accepted) {
        // A Stop that began after the item was accepted notifies it and
        // leaves the queue Idle; otherwise the started queue runs it.
        probe.Wait();
        const std::vector<std::string> events = journal.Events();
        EXPECT_EQ(events.size(), 1u) << "round " << round;
        if (!events.empty() && events[0] == "notify accepted") {
          EXPECT_EQ(queue.GetThreadId(), -1) << "round " << round << ": discarded by a Stop, yet started";
        }
      }
      queue.Stop();  // before the probe goes
      std::lock_guard<std::mutex> lock(mutex);
      ++finished_rounds;
    }
    std::lock_guard<std::mutex> lock(mutex);
    over = true;
    cond.notify_all();
  });
  bool done = false;
  {
    std::unique_lock<std::mutex> lock(mutex);
    done = cond.wait_for(lock, 120s, [&] { return over; });
  }
  if (!done) {
    // A Stop that never returns cannot be joined; end the program with the
    // failure rather than hang it.
    ADD_FAILURE() << "Start and Stop hung after " << finished_rounds << " rounds";
    std::fflush(stdout);
    std::_Exit(1);
  }
  racer.join();
}

// Counts the runs and discards of all of one kind of item.
struct Tally {
  std::atomic<int64_t> next_run{0};  // the run order handed out so far
  std::atomic<int> finished{0};      // items run or discarded

  bool WaitFinished(int count) {
    const auto deadline = Clock::now() + kDeadline;
    while (finished.load() < count) {
      if (Clock::now() > deadline) {
        return false;
      }
      std::this_thread::yield();
    }
    return true;
  }
};

// One queued item: when and as which it ran, and how often it ran or was
// discarded.
class Item : public osal::IMsgHandler {
 public:
  explicit Item(Tally& tally) : mTally(tally) {}
  void HandleMsg(int32_t&) override {
    mRunAt = Clock::now();
    mRunOrder = mTally.next_run++;
    ++mRuns;
    ++mTally.finished;
  }
  void NotifyFinished() override {
    ++mDiscards;
    ++mTally.finished;
  }

  Clock::time_point mEarliestDue;  // set before it is queued
  Clock::time_point mRunAt;        // read once the tally says it finished
  int64_t mRunOrder = -1;
  std::atomic<int> mRuns{0};
  std::atomic<int> mDiscards{0};

 private:
  Tally& mTally;
};

// Several threads queue at once, mostly due at once, some delayed, some for
// a handler that another thread keeps removing; the pool of item slots runs
// out on the way. Every item runs or is discarded exactly once, each
// thread's items due at once run in its queue order, none runs early.
TEST(MsgQueue, ConcurrentProducersAndRemovalsLoseNothingAndKeepOrder) {
  constexpr int kProducers = 3;
  constexpr int kItemsEach = 3000;
  osal::MsgQueue queue;
  ASSERT_EQ(queue.Start("producers", kPriority), 0);
  Tally tally;
  Tally removed_tally;
  Item removed(removed_tally);
  std::atomic<int> removed_queued{0};
  std::vector<std::vector<std::unique_ptr<Item>>> items(kProducers);
  std::atomic<bool> producing{true};
  std::thread remover([&] {
    while (producing) {
      queue.RemoveMsg(&removed);
      std::this_thread::yield();
    }
  });
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kItemsEach; ++i) {
        items[p].push_back(std::make_unique<Item>(tally));
        Item& item = *items[p].back();
        const auto delay = i % 8 == 7 ? std::chrono::microseconds(1 + (i % 5) * 50) : 0us;
        item.mEarliestDue = Clock::now() + delay;
        ASSERT_EQ(queue.QueueMsg(&item, Ns(delay)), 0);
        if (i % 16 == 0) {
          ASSERT_EQ(queue.QueueMsg(&removed, i % 32 == 0 ? 0 : Ns(100us)), 0);
          ++removed_queued;
        }
      }
    });
  }
  for (auto& producer : producers) {
    producer.join();
  }
  producing = false;
  remover.join();
  ASSERT_TRUE(tally.WaitFinished(kProducers * kItemsEach));
  ASSERT_TRUE(removed_tally.WaitFinished(removed_queued));
  queue.Stop();
  for (int p = 0; p < kProducers; ++p) {
    int64_t last_order = -1;
    for (int i = 0; i < kItemsEach; ++i) {
      const Item& item = *items[p][i];
      ASSERT_EQ(item.mRuns, 1) << "producer " << p << " item " << i;
      ASSERT_EQ(item.mDiscards, 0) << "producer " << p << " item " << i;
      EXPECT_GE(item.mRunAt, item.mEarliestDue) << "producer " << p << " item " << i;
      if (i % 8 != 7) {
        EXPECT_GT(item.mRunOrder, last_order) << "producer " << p << " item " << i;
        last_order = item.mRunOrder;
      }
    }
  }
  EXPECT_EQ(removed.mRuns + removed.mDiscards, removed_queued.load());
}

// Thousands of items pending behind a held worker: the pool grows for them,
// and they run in queue order or are discarded and given back.
TEST_F(HeldQueue, ItemsBeyondTheSlotPoolRunInOrderOrAreDiscarded) {
  constexpr int kItems = 3000;
  Tally tally;
  Tally removed_tally;
  Item removed(removed_tally);
  std::vector<std::unique_ptr<Item>> items;
  for (int i = 0; i < kItems; ++i) {
    items.push_back(std::make_unique<Item>(tally));
    ASSERT_EQ(queue.QueueMsg(items.back().get(), 0), 0);
    ASSERT_EQ(queue.QueueMsg(&removed, 0), 0);
  }
  queue.RemoveMsg(&removed);
  EXPECT_EQ(removed.mDiscards, kItems);
  gate.Release();
  ASSERT_TRUE(tally.WaitFinished(kItems));
  for (int i = 0; i < kItems; ++i) {
    ASSERT_EQ(items[i]->mRunOrder, i);
  }
  // The slots given back serve the next items.
  for (int round = 0; round < 2; ++round) {
    for (auto& item : items) {
      ASSERT_EQ(queue.QueueMsg(item.get(), 0), 0);
    }
    ASSERT_TRUE(tally.WaitFinished((round + 2) * kItems));
  }
  EXPECT_EQ(removed.mRuns, 0);
  for (const auto& item : items) {
    EXPECT_EQ(item->mRuns, 3);
  }
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
  soon.Wait();  // had the far items wrapped, they would have been due first and run before it
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

// Runs `child` in a forked child, which SIGALRM ends if it hangs past the
// deadline, and returns how the child ended: "exit 0" if `child` returned
// true.
std::string InForkedChild(const std::function<bool()>& child) {
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(static_cast<unsigned>(std::chrono::duration_cast<std::chrono::seconds>(kDeadline).count()));
    _exit(child() ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status)) : "signal " + std::to_string(WTERMSIG(status));
}

// Holds the queue's mutex from inside RemoveMsg until Release.
class BlockingNotify : public osal::IMsgHandler {
 public:
  void HandleMsg(int32_t&) override {}
  void NotifyFinished() override { mGate.HandleMsg(mArgument); }
  Gate mGate;

 private:
  int32_t mArgument = 0;
};

// A new queue in the child runs its item. Its slots must not come from
// blocks the parent freed before the fork, which the child lacks.
bool FreshQueueRuns() {
#if defined(__SANITIZE_THREAD__) || defined(TEST_UNDER_EMULATOR)
  return true;  // neither lets a forked child of a threaded process start a thread
#endif
  osal::MsgQueue fresh;
  Tally tally;
  Item item(tally);
  return fresh.Start("fresh", kPriority) == 0 && fresh.QueueMsg(&item, 0) == 0 && tally.WaitFinished(1) &&
         item.mRuns == 1;
}

// A child forked from a process whose queue is started finds it stopped and
// empty: it refuses items, has no worker, runs and notifies nothing that
// the parent queued, and Stop and the destructor return at once; a new
// queue works there. The fork waits for nothing the queue's threads do:
// with its mutex held by a RemoveMsg that lets go only after the fork has
// returned, a fork that waited for it would wait out the deadline. The
// parent's queue runs on and discards its own items once.
TEST(MsgQueue, ForkedChildFindsTheQueueStoppedAndEmptyAndTheForkWaitsForNothing) {
  // The second child finds the first round's blocks freed.
  enum class AtFork { kWorkerAsleep, kMutexHeld };
  for (const AtFork at_fork : {AtFork::kWorkerAsleep, AtFork::kMutexHeld}) {
    SCOPED_TRACE(at_fork == AtFork::kMutexHeld ? "mutex held at the fork" : "worker asleep at the fork");
    auto queue = std::make_unique<osal::MsgQueue>();
    ASSERT_EQ(queue->Start("forked", kPriority), 0);
    Tally tally;
    Item first(tally);
    Item pending(tally);
    ASSERT_EQ(queue->QueueMsg(&first, 0), 0);
    ASSERT_TRUE(tally.WaitFinished(1));  // the worker has published its id
    ASSERT_EQ(queue->QueueMsg(&pending, kOneHour), 0);
    ASSERT_TRUE(WaitAsleep(queue->GetThreadId()));
    BlockingNotify blocking;
    std::thread remover;
    std::thread releaser;
    std::promise<void> forked;
    std::promise<void> running;
    bool fork_waited = false;
    if (at_fork == AtFork::kMutexHeld) {
      ASSERT_EQ(queue->QueueMsg(&blocking, kOneHour), 0);
      remover = std::thread([&] { queue->RemoveMsg(&blocking); });
      ASSERT_TRUE(blocking.mGate.WaitEntered());
      releaser = std::thread([&, returned = forked.get_future()] {
        running.set_value();
        fork_waited = returned.wait_for(kDeadline) != std::future_status::ready;
        blocking.mGate.Release();
      });
      // Forked only once no thread is starting: AddressSanitizer's allocator
      // could stay locked in the child.
      running.get_future().wait();
    }
    const std::string child = InForkedChild([&] {
      const int queued = queue->QueueMsg(&pending, 0);
      const int started = queue->Start("again", kPriority);
      const int tid = queue->GetThreadId();
      queue->RemoveMsg(&pending);
      queue->Stop();
      queue.reset();
      const bool fresh = FreshQueueRuns();
      std::fprintf(stderr, "child: queued %d, started %d, tid %d, notified %d, fresh queue ran %d\n", queued,
                   started, tid, pending.mDiscards.load(), fresh);
      return queued == -38 && started == -1 && tid == -1 && pending.mDiscards == 0 && fresh;
    });
    forked.set_value();
    EXPECT_EQ(child, "exit 0");
    if (at_fork == AtFork::kMutexHeld) {
      releaser.join();
      remover.join();
      EXPECT_FALSE(fork_waited);
    }
    Item after(tally);
    ASSERT_EQ(queue->QueueMsg(&after, 0), 0);
    ASSERT_TRUE(tally.WaitFinished(2));
    EXPECT_EQ(after.mRuns, 1);
    queue.reset();
    EXPECT_EQ(pending.mDiscards, 1);
  }
}

}  // namespace

namespace {

// Two producers keep queueing while this thread forks: every child finds
// the queue stopped, and every item queued in the parent runs or is
// discarded once. How long the forks take is measured by bench_fork_latency,
// not here.
TEST(MsgQueue, ForksWhileProducersQueueCompleteAndEachChildFindsTheQueueStopped) {
  constexpr int kForks = 100;
  osal::MsgQueue queue;
  ASSERT_EQ(queue.Start("forkbusy", kPriority), 0);
  Tally tally;
  Item item(tally);
  std::atomic<bool> producing{true};
  std::atomic<int> queued{0};
  std::vector<std::thread> producers;
  for (int p = 0; p < 2; ++p) {
    producers.emplace_back([&] {
      while (producing) {
        if (queue.QueueMsg(&item, 0) == 0) {
          ++queued;
        }
      }
    });
  }
  for (int fork = 0; fork < kForks; ++fork) {
    ASSERT_EQ(InForkedChild([&] { return queue.QueueMsg(&item, 0) == -38 && queue.GetThreadId() == -1; }), "exit 0")
        << "fork " << fork;
  }
  producing = false;
  for (std::thread& producer : producers) {
    producer.join();
  }
  ASSERT_TRUE(tally.WaitFinished(queued));
  EXPECT_EQ(item.mRuns + item.mDiscards, queued.load());
}

}  // namespace
