// Fork latency of a process with a started message queue: how long the
// parent's fork() takes (p50/p99/max over 200 forks, microseconds) while two
// producer threads call QueueMsg(h, 0) in a loop, beside the same forks with
// the queue idle and with three threads that only spin (as many busy threads
// as the producers and the worker: the cost of sharing the cores, without
// the queue). Each child exits at once; the parent reaps it before the next
// fork. The queue_ figures are the time the fork spent in the queue's own
// fork handler (between two handlers of this program registered on either
// side of it). The kept_ figures are those of the forks during which the
// forking thread kept its core (no involuntary context switch), and
// preempted counts the others: on a machine with fewer cores than busy
// threads, the scheduler's time slices show in the p99 of every load.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "bench/percentiles.h"
#include "bench/quiet_benchmark_main.h"
#include "osal/thread/msg_handler.h"
#include "osal/thread/msg_queue.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kForks = 200;
constexpr int kProducers = 2;
constexpr int kSpinners = kProducers + 1;

class IdleHandler : public osal::IMsgHandler {
 public:
  void HandleMsg(int32_t&) override {}
};

// Fork prepare handlers run in the reverse order of registration: the one
// registered before the first queue runs after the queue's, the other before.
Clock::time_point gBeforeQueueHandler;
Clock::time_point gAfterQueueHandler;
[[maybe_unused]] const int gAfterQueue = pthread_atfork([] { gAfterQueueHandler = Clock::now(); }, nullptr, nullptr);

void AroundQueueHandler() {
  static const int kBeforeQueue = pthread_atfork([] { gBeforeQueueHandler = Clock::now(); }, nullptr, nullptr);
  (void)kBeforeQueue;
}

enum Load : int64_t { kIdle = 0, kSpinning = 1, kProducing = 2 };

long InvoluntarySwitches() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return usage.ru_nivcsw;
}

// args: load (0 queue idle, 1 three spinning threads, 2 two producers).
void BM_ForkLatency(benchmark::State& state) {
  const auto load = static_cast<Load>(state.range(0));
  osal::MsgQueue queue;
  AroundQueueHandler();
  queue.Start("bench_fork", osal::Thread::kPriorityNormal);
  IdleHandler handler;
  std::atomic<bool> busy{load != kIdle};
  std::atomic<uint64_t> spins{0};
  std::vector<std::thread> threads;
  const int busy_threads = load == kProducing ? kProducers : load == kSpinning ? kSpinners : 0;
  for (int i = 0; i < busy_threads; ++i) {
    threads.emplace_back([&] {
      while (busy.load(std::memory_order_relaxed)) {
        if (load == kProducing) {
          queue.QueueMsg(&handler, 0);
        } else {
          spins.fetch_add(1, std::memory_order_relaxed);
        }
      }
    });
  }
  std::vector<double> latencies_us;
  std::vector<double> in_queue_us;
  std::vector<double> kept_core_us;
  for (auto _ : state) {
    for (int i = 0; i < kForks; ++i) {
      const long switches = InvoluntarySwitches();
      const Clock::time_point before = Clock::now();
      const pid_t pid = fork();
      if (pid == 0) {
        _exit(0);
      }
      const double latency_us = std::chrono::duration<double, std::micro>(Clock::now() - before).count();
      latencies_us.push_back(latency_us);
      if (InvoluntarySwitches() == switches) {
        kept_core_us.push_back(latency_us);
      }
      in_queue_us.push_back(
          std::chrono::duration<double, std::micro>(gAfterQueueHandler - gBeforeQueueHandler).count());
      waitpid(pid, nullptr, 0);
    }
  }
  busy = false;
  for (std::thread& thread : threads) {
    thread.join();
  }
  queue.Stop();
  ReportPercentiles(state, latencies_us);
  ReportPercentiles(state, in_queue_us, "queue_");
  state.counters["preempted"] = static_cast<double>(latencies_us.size() - kept_core_us.size());
  ReportPercentiles(state, kept_core_us, "kept_");
}

BENCHMARK(BM_ForkLatency)->ArgName("load")->Arg(kIdle)->Arg(kSpinning)->Arg(kProducing)->Iterations(1)->Unit(
    benchmark::kMillisecond);

}  // namespace

QUIET_BENCHMARK_MAIN();
