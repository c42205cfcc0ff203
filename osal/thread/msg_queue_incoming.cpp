#include "osal/thread/msg_queue_incoming.h"

namespace osal {

MsgQueueIncoming::Slot* MsgQueueIncoming::Newest(uintptr_t incoming) {
  return reinterpret_cast<Slot*>(incoming & ~MsgQueue::kFlags);
}

MsgQueueIncoming::Pushed MsgQueueIncoming::Push(Slot* slot) {
  // Once pushed, the slot may run and be reused at any moment.
  const uint64_t due = slot->due;
  std::atomic<uintptr_t>& incoming = mQueue.mIncoming;
  const std::atomic<uint64_t>& wake_at = mQueue.mWakeAt;
  uintptr_t old = incoming.load(std::memory_order_acquire);
  bool wake = false;
  uintptr_t desired = 0;
  do {
    if ((old & MsgQueue::kClosed) != 0) {
      return Pushed::kRefused;
    }
    slot->next = Newest(old);
    // A sleeping worker is woken, once, for an item due before its wake-up
    // time; otherwise it sleeps on and the flag stays for the next push.
    wake = (old & MsgQueue::kWaiting) != 0 && due < wake_at.load(std::memory_order_relaxed);
    desired = reinterpret_cast<uintptr_t>(slot) | (wake ? 0 : (old & MsgQueue::kWaiting));
  } while (!incoming.compare_exchange_weak(old, desired, std::memory_order_acq_rel, std::memory_order_acquire));
  if (wake) {
    return Pushed::kWakeWorker;
  }
  // The wake-up time read above may be that of an earlier sleep, if the
  // worker has since woken and set the flag again for a later one; the
  // exchange has made the current one visible.
  if ((old & MsgQueue::kWaiting) != 0 && due < wake_at.load(std::memory_order_relaxed)) {
    return Pushed::kWakeWorker;
  }
  return Pushed::kQueued;
}

MsgQueueIncoming::Chain MsgQueueIncoming::Take(uintptr_t keep) {
  std::atomic<uintptr_t>& incoming = mQueue.mIncoming;
  uintptr_t old = incoming.load(std::memory_order_relaxed);
  while (!incoming.compare_exchange_weak(old, old & keep, std::memory_order_acquire, std::memory_order_relaxed)) {
  }
  // The list runs from the newest slot back; turn it around.
  Chain chain;
  chain.last = Newest(old);
  Slot* newer = nullptr;
  for (Slot* slot = chain.last; slot != nullptr;) {
    chain.sorted = chain.sorted && (newer == nullptr || slot->due <= newer->due);
    Slot* older = slot->next;
    slot->next = newer;
    newer = slot;
    slot = older;
  }
  chain.first = newer;
  return chain;
}

bool MsgQueueIncoming::Arm(uint64_t due) {
  mQueue.mWakeAt.store(due, std::memory_order_relaxed);
  uintptr_t empty = 0;
  return mQueue.mIncoming.compare_exchange_strong(empty, MsgQueue::kWaiting, std::memory_order_release,
                                                  std::memory_order_relaxed);
}

void MsgQueueIncoming::Close() { mQueue.mIncoming.fetch_or(MsgQueue::kClosed); }

void MsgQueueIncoming::Open() { mQueue.mIncoming.fetch_and(~MsgQueue::kClosed); }

}  // namespace osal
