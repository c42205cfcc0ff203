// Handler send into 10,000 pending messages, each send timed on its own
// (p50 / p99 in us), beside a bare ordered multimap insert and a bare
// priority-queue push of the same messages under a mutex:
//   due now (every send lands after every pending message)
//   random due times drawn across the whole pending range
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <queue>
#include <random>
#include <vector>

#include "property/handler/handler.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPending = 10000;
constexpr int kSends = 2000;
constexpr int64_t kSpacingNs = 1000;

// The pending messages: distinct due times 1000 ns apart, all in the past.
struct PendingRange {
  int64_t first;
  int64_t last;
};

PendingRange MakeRange() {
  const int64_t last = Message().mWhen - 1000000000LL;
  return {last - (kPending - 1) * kSpacingNs, last};
}

template <typename Send>
void FillPending(const PendingRange& range, Send send) {
  for (int i = 0; i < kPending; ++i) {
    Message pending(1, i);
    pending.mWhen = range.last - i * kSpacingNs;
    send(pending);
  }
}

// The due time of the next send: now, or anywhere in the pending range.
class DueTimes {
 public:
  DueTimes(const PendingRange& range, bool random) : mRange(range), mRandom(random) {}
  Message Next() {
    Message msg(1);
    if (mRandom) {
      std::uniform_int_distribution<int64_t> spread(mRange.first, mRange.last);
      msg.mWhen = spread(mGenerator);
    }
    return msg;
  }

 private:
  const PendingRange mRange;
  const bool mRandom;
  std::mt19937_64 mGenerator{7};
};

// Times each send on its own and reports the percentiles.
template <typename Send>
void TimeSends(benchmark::State& state, DueTimes& due, Send send) {
  std::vector<double> us;
  us.reserve(kSends);
  for (auto _ : state) {
    Message msg = due.Next();
    const Clock::time_point start = Clock::now();
    send(msg);
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  std::sort(us.begin(), us.end());
  auto at = [&](double q) { return us[static_cast<size_t>(q * static_cast<double>(us.size() - 1))]; };
  state.counters["p50_us"] = at(0.50);
  state.counters["p99_us"] = at(0.99);
  state.counters["max_us"] = us.back();
}

// A handler whose loop is held by a first message, so that sends pile up.
class HeldHandler : public Handler {
 public:
  explicit HeldHandler(const PendingRange& range) {
    Message hold(-1);
    hold.mWhen = range.first - 1;
    hold.SetFunction([this] { mRelease.wait(); });
    SendMessage(hold);
    FillPending(range, [this](const Message& msg) { SendMessage(msg); });
  }
  ~HeldHandler() override {
    StopSafty(false);
    mOpen.set_value();
    StopAndJoin();
  }

 private:
  std::promise<void> mOpen;
  std::shared_future<void> mRelease = mOpen.get_future().share();
};

// arg: random due times (1) or due now (0).
void BM_HandlerSend(benchmark::State& state) {
  const PendingRange range = MakeRange();
  HeldHandler handler(range);
  DueTimes due(range, state.range(0) != 0);
  TimeSends(state, due, [&](const Message& msg) { handler.SendMessage(msg); });
}

void BM_BaselineMultimapInsert(benchmark::State& state) {
  const PendingRange range = MakeRange();
  std::mutex mutex;
  std::multimap<int64_t, Message> queue;
  FillPending(range, [&](const Message& msg) { queue.emplace(msg.mWhen, msg); });
  DueTimes due(range, state.range(0) != 0);
  TimeSends(state, due, [&](const Message& msg) {
    std::lock_guard<std::mutex> lock(mutex);
    queue.emplace_hint(queue.end(), msg.mWhen, msg);
  });
}

void BM_BaselinePriorityQueuePush(benchmark::State& state) {
  const PendingRange range = MakeRange();
  std::mutex mutex;
  std::priority_queue<Message, std::vector<Message>, std::greater<Message>> queue;
  FillPending(range, [&](const Message& msg) { queue.push(msg); });
  DueTimes due(range, state.range(0) != 0);
  TimeSends(state, due, [&](const Message& msg) {
    std::lock_guard<std::mutex> lock(mutex);
    queue.push(msg);
  });
}

BENCHMARK(BM_HandlerSend)->ArgName("random")->Arg(0)->Arg(1)->Iterations(kSends);
BENCHMARK(BM_BaselineMultimapInsert)->ArgName("random")->Arg(0)->Arg(1)->Iterations(kSends);
BENCHMARK(BM_BaselinePriorityQueuePush)->ArgName("random")->Arg(0)->Arg(1)->Iterations(kSends);

}  // namespace

BENCHMARK_MAIN();
