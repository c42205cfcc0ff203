// The slot pool of a MsgQueue: where the slots of queued items come from and
// go back to.
//
// A view over the queue's pool fields. The pool holds blocks of 64 slots,
// allocated by New whenever it finds no free slot and kept until the queue
// is destroyed, so it grows to the most items ever on their way through at
// once and never asks the heap for more while the worker keeps up. New
// takes slots from one of two stashes (each thread is given one, and tries
// the other when its own is busy); a slot New makes while both are busy
// (taken by other News) is a single allocation, freed when given back.
// The blocks live in MsgQueueBlockArena's pages. Free slots travel in four
// chains: the worker gives back run slots to its own chain (Recycle) and
// hands them on through the spare chain, which it fills only when New has
// emptied it, to New's stash; slots discarded under the queue's mutex wait
// in the discarded chain until the worker recycles them (TakeDiscarded).
//
// Threads and locks: New from any thread, without a lock (each stash is
// guarded by a busy flag, which New only tries, never waits for).
// Release and TakeDiscarded with the queue's mutex held. Recycle on the
// worker only. LeaveBehindInChild in a forked child, before it has other
// threads; a fork waits for no New.
#ifndef OSAL_THREAD_MSG_QUEUE_SLOT_POOL_H_
#define OSAL_THREAD_MSG_QUEUE_SLOT_POOL_H_

#include <cstddef>

#include "osal/thread/msg_queue.h"

namespace osal {

class MsgQueueSlotPool {
 public:
  using Slot = MsgQueue::Slot;

  explicit MsgQueueSlotPool(MsgQueue& queue) : mQueue(queue) {}

  // A free slot, fields unset.
  Slot* New();
  // Gives back a discarded slot, or a chain of them. Queue mutex held.
  void Release(Slot* slot);
  void ReleaseChain(Slot* chain);
  // The slots given back by Release since the last call. Queue mutex held.
  Slot* TakeDiscarded();
  // Gives back the slots of a chain that ran or was discarded. Worker only.
  void Recycle(Slot* chain);
  // In a forked child: leaves every block and chain behind, never read or
  // freed (the blocks are not mapped in the child).
  void LeaveBehindInChild();
  // Allocates another block and returns its slots as a chain. Stash held.
  Slot* NewBlock();

 private:
  // A slot from stash `lane` (0: mStash, which may allocate a block; 1:
  // mOtherStash), or null when it is busy or, for the second, empty.
  Slot* FromStash(int lane);

  MsgQueue& mQueue;
};

}  // namespace osal

#endif  // OSAL_THREAD_MSG_QUEUE_SLOT_POOL_H_
