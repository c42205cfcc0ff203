#include "osal/thread/msg_queue_slot_pool.h"

#include <memory>
#include <new>
#include <utility>

namespace osal {

namespace {

// The stash this thread tries first: threads are given the two in turn.
thread_local int tLane = -1;
std::atomic<int> gNextLane{0};

}  // namespace

MsgQueueSlotPool::Slot* MsgQueueSlotPool::New() {
  if (tLane < 0) {
    tLane = gNextLane.fetch_add(1, std::memory_order_relaxed) & 1;
  }
  for (int lane : {tLane, tLane ^ 1}) {
    if (Slot* slot = FromStash(lane)) {
      return slot;
    }
  }
  return new Slot;  // other News have both stashes
}

MsgQueueSlotPool::Slot* MsgQueueSlotPool::FromStash(int lane) {
  std::atomic<bool>& busy = lane == 0 ? mQueue.mStashBusy : mQueue.mOtherStashBusy;
  if (busy.exchange(true, std::memory_order_acquire)) {
    return nullptr;
  }
  struct Unbusy {
    std::atomic<bool>& busy;
    ~Unbusy() { busy.store(false, std::memory_order_release); }
  } unbusy{busy};
  Slot*& stash = lane == 0 ? mQueue.mStash : mQueue.mOtherStash;
  if (stash == nullptr) {
    stash = mQueue.mSpare.exchange(nullptr, std::memory_order_acquire);
  }
  if (stash == nullptr && lane == 0) {
    stash = NewBlock();
  }
  if (stash == nullptr) {
    return nullptr;
  }
  Slot* slot = std::exchange(stash, stash->next);
  // The worker wrote the next slot last; fetch it while the caller goes on,
  // not when the next New needs it.
  __builtin_prefetch(stash, 1);
  return slot;
}

MsgQueueSlotPool::Slot* MsgQueueSlotPool::NewBlock() {
  auto& blocks = mQueue.mBlocks;
  static_assert(sizeof(Slot) == 32, "two slots to a cache line");
  blocks.push_back(std::make_unique<MsgQueue::Block>());
  Slot* block = blocks.back()->slots;
  for (size_t i = 0; i < MsgQueue::kBlockSlots; ++i) {
    block[i].pooled = true;
    block[i].next = i + 1 < MsgQueue::kBlockSlots ? &block[i + 1] : nullptr;
  }
  return block;
}

void MsgQueueSlotPool::Release(Slot* slot) {
  if (!slot->pooled) {
    delete slot;
    return;
  }
  slot->next = mQueue.mDiscarded;
  mQueue.mDiscarded = slot;
}

void MsgQueueSlotPool::ReleaseChain(Slot* chain) {
  while (chain != nullptr) {
    Release(std::exchange(chain, chain->next));
  }
}

MsgQueueSlotPool::Slot* MsgQueueSlotPool::TakeDiscarded() { return std::exchange(mQueue.mDiscarded, nullptr); }

void MsgQueueSlotPool::Recycle(Slot* chain) {
  // Kept in run order, so that New takes slots in address order and the
  // worker, walking them again, meets them in order too.
  MsgQueue::Chain& recycled = mQueue.mRecycled;
  while (chain != nullptr) {
    Slot* slot = std::exchange(chain, chain->next);
    if (!slot->pooled) {
      delete slot;
      continue;
    }
    slot->next = nullptr;
    (recycled.last != nullptr ? recycled.last->next : recycled.first) = slot;
    recycled.last = slot;
  }
  // Only the worker fills mSpare, and only when New has emptied it.
  if (recycled.first != nullptr && mQueue.mSpare.load(std::memory_order_relaxed) == nullptr) {
    mQueue.mSpare.store(std::exchange(recycled, MsgQueue::Chain{}).first, std::memory_order_release);
  }
}

void MsgQueueSlotPool::LeaveBehindInChild() {
  // The blocks are not mapped in the child, and a New or the worker may
  // have been changing any of these at the fork.
  new (&mQueue.mBlocks) std::vector<std::unique_ptr<MsgQueue::Block>>();
  mQueue.mStash = nullptr;
  mQueue.mOtherStash = nullptr;
  mQueue.mSpare.store(nullptr, std::memory_order_relaxed);
  mQueue.mRecycled = MsgQueue::Chain{};
}

}  // namespace osal
