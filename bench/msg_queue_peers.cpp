// Message queue beside its peers, end to end, as a typical caller sees it.
//
// One producer, this thread under the default time-sharing policy, queues
// 500,000 delay-0 items into a started queue whose consumer counts them;
// the iteration's time is from just before the first item is queued to the
// consumer's count of the last one, so items/s is the throughput. Beside
// MsgQueue, in the same process: GLib's GAsyncQueue (push; a consumer
// thread pops) and Asio's post to a thread running its io_context. The
// consumer runs at SCHED_FIFO 10 (rt:1) or under the default policy (rt:0).
//
// Interleave the sides and repeat, on a shared machine:
//   bench_msg_queue_peers --benchmark_repetitions=5
//                         --benchmark_enable_random_interleaving=true
#include <benchmark/benchmark.h>
#include <glib.h>

#include <asio.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "bench/quiet_benchmark_main.h"
#include "osal/thread/msg_handler.h"
#include "osal/thread/msg_queue.h"
#include "osal/thread/thread_utils.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int64_t kItems = 500000;
// SCHED_FIFO refuses priority 0: a worker started with it stays under the
// default policy.
constexpr auto kNoRealTime = static_cast<osal::Thread::Priority>(0);

osal::Thread::Priority ConsumerPriority(const benchmark::State& state) {
  return state.range(0) != 0 ? osal::Thread::kPriorityNormal : kNoRealTime;
}

// Counts the items the consumer runs and stamps the last one.
class Counter {
 public:
  // Consumer only, between Reset and WaitSeconds.
  void Count() {
    if (++mCount != kItems) {
      return;
    }
    const Clock::time_point last = Clock::now();
    std::lock_guard<std::mutex> lock(mMutex);
    mLast = last;
    mDone = true;
    mCond.notify_all();
  }
  void Reset() {
    std::lock_guard<std::mutex> lock(mMutex);
    mCount = 0;
    mDone = false;
  }
  // Seconds from `first` to the last item's run, once it has run.
  double WaitSeconds(Clock::time_point first) {
    std::unique_lock<std::mutex> lock(mMutex);
    mCond.wait(lock, [this] { return mDone; });
    return std::chrono::duration<double>(mLast - first).count();
  }

 private:
  int64_t mCount = 0;  // consumer only while a batch runs
  std::mutex mMutex;
  std::condition_variable mCond;
  bool mDone = false;       // guarded by mMutex
  Clock::time_point mLast;  // guarded by mMutex
};

// Times kItems calls of `post` through to the consumer's last count.
template <typename Post>
void Produce(benchmark::State& state, Counter& counter, Post post) {
  for (auto _ : state) {
    counter.Reset();
    const Clock::time_point first = Clock::now();
    for (int64_t i = 0; i < kItems; ++i) {
      post();
    }
    state.SetIterationTime(counter.WaitSeconds(first));
  }
  state.SetItemsProcessed(state.iterations() * kItems);
}

class CountHandler : public osal::IMsgHandler {
 public:
  explicit CountHandler(Counter& counter) : mCounter(counter) {}
  void HandleMsg(int32_t&) override { mCounter.Count(); }

 private:
  Counter& mCounter;
};

// arg: consumer at real-time priority (1/0).
void BM_MsgQueue(benchmark::State& state) {
  osal::MsgQueue queue;
  queue.Start("bench_peers", ConsumerPriority(state));
  Counter counter;
  CountHandler handler(counter);
  Produce(state, counter, [&] { queue.QueueMsg(&handler, 0); });
  queue.Stop();
}

void SetOwnPriority(osal::Thread::Priority priority) {
  if (priority != kNoRealTime) {
    osal::SetThreadPriority(static_cast<long>(pthread_self()), priority);
  }
}

// arg: consumer at real-time priority (1/0).
void BM_GAsyncQueue(benchmark::State& state) {
  static int item;
  static int stop;
  GAsyncQueue* queue = g_async_queue_new();
  Counter counter;
  std::thread consumer([&, priority = ConsumerPriority(state)] {
    SetOwnPriority(priority);
    while (g_async_queue_pop(queue) != &stop) {
      counter.Count();
    }
  });
  Produce(state, counter, [&] { g_async_queue_push(queue, &item); });
  g_async_queue_push(queue, &stop);
  consumer.join();
  g_async_queue_unref(queue);
}

// arg: consumer at real-time priority (1/0).
void BM_AsioPost(benchmark::State& state) {
  asio::io_context io;
  auto work = asio::make_work_guard(io);
  std::thread runner([&, priority = ConsumerPriority(state)] {
    SetOwnPriority(priority);
    io.run();
  });
  Counter counter;
  Produce(state, counter, [&] { asio::post(io, [&counter] { counter.Count(); }); });
  work.reset();
  runner.join();
}

BENCHMARK(BM_MsgQueue)->ArgName("rt")->Arg(1)->Arg(0)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GAsyncQueue)->ArgName("rt")->Arg(1)->Arg(0)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AsioPost)->ArgName("rt")->Arg(1)->Arg(0)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

QUIET_BENCHMARK_MAIN();
