// Message queue: how late a due item runs, and how many items one producer
// gets through, each beside a baseline.
//
// Lateness (run time minus due time, p50/p99 over 1000 items, microseconds)
// of MsgQueue items with a 1 ms and a 10 ms delay, beside a bare
// std::condition_variable::wait_until sleeper on the same clock. Both run on
// a thread of their own, with real-time priority (rt:1) or under the default
// time-sharing policy (rt:0, as in a process without the privilege); the
// sleeper runs with the default timer slack (slack:0) and with the slack
// lowered the way the queue's worker lowers it (slack:1).
//
// Throughput of delay-0 items from one producer, with nothing else pending
// and with 1000 distinct due times pending, and from two producers, beside a
// minimal general-purpose event loop's post (std::function in a deque under
// a mutex, notify_one).
//
// Idle CPU of the process over 10 s with a started queue and nothing due
// (empty, or one item due in an hour), beside a bare thread waiting on a
// condition variable for an hour.
#include <benchmark/benchmark.h>
#include <sys/prctl.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "bench/process_cpu.h"
#include "bench/quiet_benchmark_main.h"
#include "osal/thread/msg_handler.h"
#include "osal/thread/msg_queue.h"
#include "osal/thread/thread_utils.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kLatenessItems = 1000;
constexpr int kThroughputBatch = 100000;
// SCHED_FIFO refuses priority 0, so a worker started with it stays under the
// default policy, as in a process without the privilege.
constexpr auto kNoRealTime = static_cast<osal::Thread::Priority>(0);

void ReportLateness(benchmark::State& state, std::vector<double>& lateness_us) {
  std::sort(lateness_us.begin(), lateness_us.end());
  auto at = [&](double q) { return lateness_us[static_cast<size_t>(q * (lateness_us.size() - 1))]; };
  state.counters["p50_us"] = at(0.50);
  state.counters["p99_us"] = at(0.99);
  state.counters["max_us"] = lateness_us.back();
}

double MicrosSince(Clock::time_point due, Clock::time_point now) {
  return std::chrono::duration<double, std::micro>(now - due).count();
}

class StampHandler : public osal::MsgHandlerBase {
 public:
  void HandleMsg(int32_t&) override {
    mRunAt = Clock::now();
    NotifyFinished();
  }
  Clock::time_point mRunAt;  // written before NotifyFinished, read after Wait
};

// args: delay in us, real-time priority (1/0).
void BM_QueueLateness(benchmark::State& state) {
  const auto delay = std::chrono::microseconds(state.range(0));
  osal::MsgQueue queue;
  queue.Start("bench_lateness", state.range(1) ? osal::Thread::kPriorityHigh : kNoRealTime);
  std::vector<double> lateness_us;
  for (auto _ : state) {
    for (int i = 0; i < kLatenessItems; ++i) {
      StampHandler handler;
      // Read before QueueMsg, so the due time taken here is never later than
      // the queue's own: the figure errs on the late side.
      const Clock::time_point due = Clock::now() + delay;
      queue.QueueMsg(&handler, std::chrono::nanoseconds(delay).count());
      handler.Wait();
      lateness_us.push_back(MicrosSince(due, handler.mRunAt));
    }
  }
  queue.Stop();
  ReportLateness(state, lateness_us);
}

// args: delay in us, real-time priority (1/0), lowered timer slack (1/0).
void BM_CondVarLateness(benchmark::State& state) {
  const auto delay = std::chrono::microseconds(state.range(0));
  const bool realtime = state.range(1) != 0;
  const bool low_slack = state.range(2) != 0;
  std::vector<double> lateness_us;
  for (auto _ : state) {
    std::thread sleeper([&] {
      if (realtime) {
        osal::SetThreadPriority(static_cast<long>(pthread_self()), osal::Thread::kPriorityHigh);
      }
      if (low_slack) {
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
      }
      std::mutex mutex;
      std::condition_variable cond;
      for (int i = 0; i < kLatenessItems; ++i) {
        const Clock::time_point due = Clock::now() + delay;
        std::unique_lock<std::mutex> lock(mutex);
        while (Clock::now() < due) {
          cond.wait_until(lock, due);
        }
        lateness_us.push_back(MicrosSince(due, Clock::now()));
      }
    });
    sleeper.join();
  }
  ReportLateness(state, lateness_us);
}

// Counts the items run; wakes the producer once the whole batch has run.
class CountHandler : public osal::IMsgHandler {
 public:
  void HandleMsg(int32_t&) override {
    if (++mRun == mTarget) {
      std::lock_guard<std::mutex> lock(mMutex);
      mDone = true;
      mCond.notify_all();
    }
  }
  void Reset(int64_t target) {
    mRun = 0;
    mTarget = target;
    mDone = false;
  }
  void WaitDone() {
    std::unique_lock<std::mutex> lock(mMutex);
    mCond.wait(lock, [this] { return mDone; });
  }

 private:
  int64_t mRun = 0;     // worker only, between Reset and WaitDone
  int64_t mTarget = 0;  // set before the batch is queued
  bool mDone = false;   // guarded by mMutex
  std::mutex mMutex;
  std::condition_variable mCond;
};

class IdleHandler : public osal::IMsgHandler {
 public:
  void HandleMsg(int32_t&) override {}
};

// Runs the producer at the worker's real-time priority for the scope, so
// that waking the worker does not preempt the producer on its own core.
class ProducerPriority {
 public:
  ProducerPriority() {
    pthread_getschedparam(pthread_self(), &mPolicy, &mParam);
    osal::SetThreadPriority(static_cast<long>(pthread_self()), osal::Thread::kPriorityNormal);
  }
  ~ProducerPriority() { pthread_setschedparam(pthread_self(), mPolicy, &mParam); }

 private:
  int mPolicy = SCHED_OTHER;
  sched_param mParam{};
};

// Calls `post` kThroughputBatch times, split among `producers` threads, and
// waits until `counter` has seen every item run. One producer is this thread,
// at the worker's priority. Several producers are threads of their own under
// the default policy: at the worker's priority they would hold both cores
// and keep the worker (and the event loop's thread) from running until they
// are done, which measures only the order of the scheduler.
template <typename Post>
void ProduceBatch(int64_t producers, CountHandler& counter, Post post) {
  counter.Reset(kThroughputBatch);
  auto produce = [&] {
    for (int64_t i = 0; i < kThroughputBatch / producers; ++i) {
      post();
    }
  };
  if (producers == 1) {
    ProducerPriority priority;
    produce();
  } else {
    std::vector<std::thread> threads;
    for (int64_t p = 0; p < producers; ++p) {
      threads.emplace_back(produce);
    }
    for (std::thread& thread : threads) {
      thread.join();
    }
  }
  counter.WaitDone();
}

// args: number of distinct far-future due times pending, producers.
void BM_QueueThroughput(benchmark::State& state) {
  osal::MsgQueue queue;
  queue.Start("bench_throughput", osal::Thread::kPriorityNormal);
  IdleHandler far;
  for (int64_t i = 0; i < state.range(0); ++i) {
    queue.QueueMsg(&far, 3600UL * 1000 * 1000 * 1000 + static_cast<unsigned long>(i) * 1000);
  }
  CountHandler counter;
  for (auto _ : state) {
    ProduceBatch(state.range(1), counter, [&] { queue.QueueMsg(&counter, 0); });
  }
  queue.Stop();
  state.SetItemsProcessed(state.iterations() * kThroughputBatch);
}

// The baseline: the post of a minimal general-purpose event loop.
class EventLoop {
 public:
  EventLoop() : mThread([this] { Loop(); }) {}
  ~EventLoop() {
    Post(nullptr);
    mThread.join();
  }
  void Post(std::function<void()> task) {
    std::lock_guard<std::mutex> lock(mMutex);
    mTasks.push_back(std::move(task));
    mCond.notify_one();
  }

 private:
  void Loop() {
    osal::SetThreadPriority(static_cast<long>(pthread_self()), osal::Thread::kPriorityNormal);
    for (;;) {
      std::function<void()> task;
      {
        std::unique_lock<std::mutex> lock(mMutex);
        mCond.wait(lock, [this] { return !mTasks.empty(); });
        task = std::move(mTasks.front());
        mTasks.pop_front();
      }
      if (!task) {
        return;
      }
      task();
    }
  }

  std::mutex mMutex;
  std::condition_variable mCond;
  std::deque<std::function<void()>> mTasks;  // guarded by mMutex
  std::thread mThread;
};

// arg: producers.
void BM_EventLoopPostThroughput(benchmark::State& state) {
  EventLoop loop;
  CountHandler counter;
  for (auto _ : state) {
    ProduceBatch(state.range(0), counter, [&] {
      loop.Post([&counter] {
        int32_t argument = 0;
        counter.HandleMsg(argument);
      });
    });
  }
  state.SetItemsProcessed(state.iterations() * kThroughputBatch);
}

constexpr int kIdleSeconds = 10;
constexpr unsigned long kOneHourNs = 3600UL * 1000 * 1000 * 1000;

// The process's CPU while this thread sleeps for kIdleSeconds.
void MeasureIdle(benchmark::State& state) {
  for (auto _ : state) {
    const double before = ProcessCpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(kIdleSeconds));
    state.counters["cpu_percent"] = 100.0 * (ProcessCpuSeconds() - before) / kIdleSeconds;
    state.SetIterationTime(kIdleSeconds);
  }
}

// arg: items pending far in the future (0 or 1).
void BM_QueueIdleCpu(benchmark::State& state) {
  osal::MsgQueue queue;
  queue.Start("bench_idle", osal::Thread::kPriorityNormal);
  IdleHandler far;
  if (state.range(0) != 0) {
    queue.QueueMsg(&far, kOneHourNs);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(10));  // past the worker's start-up
  MeasureIdle(state);
  queue.Stop();
}

void BM_CondVarIdleCpu(benchmark::State& state) {
  std::mutex mutex;
  std::condition_variable cond;
  bool quit = false;  // guarded by mutex
  std::thread sleeper([&] {
    std::unique_lock<std::mutex> lock(mutex);
    cond.wait_until(lock, Clock::now() + std::chrono::hours(1), [&] { return quit; });
  });
  MeasureIdle(state);
  {
    std::lock_guard<std::mutex> lock(mutex);
    quit = true;
  }
  cond.notify_all();
  sleeper.join();
}

BENCHMARK(BM_CondVarLateness)
    ->ArgNames({"delay_us", "rt", "slack"})
    ->ArgsProduct({{1000, 10000}, {1, 0}, {0, 1}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QueueLateness)
    ->ArgNames({"delay_us", "rt"})
    ->ArgsProduct({{1000, 10000}, {1, 0}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EventLoopPostThroughput)->ArgName("producers")->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_QueueThroughput)
    ->ArgNames({"pending", "producers"})
    ->Args({0, 1})
    ->Args({1000, 1})
    ->Args({0, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_CondVarIdleCpu)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_QueueIdleCpu)->ArgName("pending")->Arg(0)->Arg(1)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

QUIET_BENCHMARK_MAIN();
