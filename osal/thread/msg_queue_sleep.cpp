#include "osal/thread/msg_queue_sleep.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <ctime>
#include <limits>

namespace osal {
namespace {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) && std::atomic<uint32_t>::is_always_lock_free,
              "a futex word");

uint32_t* FutexWord(std::atomic<uint32_t>& word) { return reinterpret_cast<uint32_t*>(&word); }

}  // namespace

uint32_t MsgQueueSleep::Ticket() const { return mQueue.mWakeups.load(std::memory_order_acquire); }

void MsgQueueSleep::Wait(uint32_t ticket, uint64_t due) {
  // FUTEX_WAIT_BITSET measures absolute times on CLOCK_MONOTONIC, the steady
  // clock; beyond int64 the limit would turn negative.
  timespec deadline{};
  timespec* limit = nullptr;
  if (due <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
    deadline.tv_sec = static_cast<time_t>(due / 1000000000);
    deadline.tv_nsec = static_cast<long>(due % 1000000000);
    limit = &deadline;
  }
  syscall(SYS_futex, FutexWord(mQueue.mWakeups), FUTEX_WAIT_BITSET_PRIVATE, ticket, limit, nullptr,
          FUTEX_BITSET_MATCH_ANY);
}

void MsgQueueSleep::Wake() {
  mQueue.mWakeups.fetch_add(1, std::memory_order_release);
  syscall(SYS_futex, FutexWord(mQueue.mWakeups), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

}  // namespace osal
