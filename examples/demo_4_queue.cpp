// The typical use of the message queue: queue a handler with a delay, wait
// for it, see how late it ran; then stop with items pending and see every
// waiter released.
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "examples/demo.h"
#include "osal/thread/msg_handler.h"
#include "osal/thread/msg_queue.h"
#include "osal/thread/thread_utils.h"

namespace {

using Clock = std::chrono::steady_clock;

// Notes when it ran and reports completion.
class Stamp : public osal::MsgHandlerBase {
 public:
  void HandleMsg(int32_t&) override {
    mRunAt = Clock::now();
    mRan = true;
    NotifyFinished();
  }
  Clock::time_point mRunAt;  // written before NotifyFinished, read after Wait
  bool mRan = false;         // likewise
};

void Run() {
  osal::MsgQueue queue;
  const int started = queue.Start("demo_queue", osal::Thread::kPriorityHigh);
  printf("Start(\"demo_queue\", kPriorityHigh) = %d\n", started);

  for (const auto delay : {std::chrono::milliseconds(1), std::chrono::milliseconds(10)}) {
    Stamp handler;
    const Clock::time_point due = Clock::now() + delay;
    queue.QueueMsg(&handler, std::chrono::nanoseconds(delay).count());
    handler.Wait();
    printf("QueueMsg(handler, %lld ms) ran %.1f us after its due time\n", static_cast<long long>(delay.count()),
           std::chrono::duration<double, std::micro>(handler.mRunAt - due).count());
  }

  printf("worker kernel id %d (caller %d)\n", queue.GetThreadId(), static_cast<int>(osal::GetTid()));

  std::vector<std::unique_ptr<Stamp>> pending;
  std::vector<std::thread> waiters;
  for (int minutes = 1; minutes <= 3; ++minutes) {
    pending.push_back(std::make_unique<Stamp>());
    queue.QueueMsg(pending.back().get(), std::chrono::nanoseconds(std::chrono::minutes(minutes)).count());
    waiters.emplace_back([handler = pending.back().get()] { handler->Wait(); });
  }
  printf("queued 3 handlers due in 1, 2 and 3 minutes, a thread waiting on each; Stop()...\n");
  queue.Stop();
  for (size_t i = 0; i < waiters.size(); ++i) {
    waiters[i].join();
    printf("  waiter %zu released, handler ran: %s\n", i + 1, pending[i]->mRan ? "yes" : "no");
  }
  printf("after Stop, QueueMsg is refused and logs an error:\n");
  fflush(stdout);
  const int refused = queue.QueueMsg(pending[0].get(), 0);
  printf("QueueMsg = %d, GetThreadId = %d\n", refused, queue.GetThreadId());
}

const bool kRegistered = demo::Register({"4 message queue", &Run});

}  // namespace
