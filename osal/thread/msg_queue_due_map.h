// The due-time map of a MsgQueue: the pending items in run order, and how
// the worker takes the due ones off it and off the incoming list.
//
// A view over the queue's mItems, a multimap from due time (steady clock,
// nanoseconds) to slot: key order is run order, and items of one due time
// keep the order they were inserted in. Items that wait for a later due
// time live in single allocations, not in the slot pool, which is meant for
// items on their way through.
//
// Threads and locks: every operation with the queue's mutex held.
// Ownership: the map owns the slots it holds until Take or Remove hands them
// out or gives them back to the pool.
#ifndef OSAL_THREAD_MSG_QUEUE_DUE_MAP_H_
#define OSAL_THREAD_MSG_QUEUE_DUE_MAP_H_

#include <cstdint>

#include "osal/thread/msg_queue.h"

namespace osal {

class MsgQueueDueMap {
 public:
  using Slot = MsgQueue::Slot;
  using Chain = MsgQueue::Chain;

  explicit MsgQueueDueMap(MsgQueue& queue) : mQueue(queue) {}

  // Sorts the chain by due time, stably (equal due times keep their order).
  static void SortByDue(Chain& chain);
  // Inserts the chain's slots, those not due at `now` moved out of the pool.
  void Merge(const Chain& chain, uint64_t now);
  // Cuts the items due at `now` off the front of a sorted `chain` and
  // returns them, if they may run as they are right after the pending items
  // due by then; else returns null and leaves `chain` whole.
  Slot* TakeDuePrefix(Chain& chain, uint64_t now);
  // Links the items due at `now`, of the map and of `incoming` (taken from
  // the incoming list after the clock read `now`), in run order to the batch
  // link `tail`, and returns the new end of the batch; the others of
  // `incoming` go into the map.
  Slot** TakeDue(Chain incoming, uint64_t now, Slot** tail);
  // Calls NotifyFinished for every item of `handler` (or of every handler,
  // when null) in due-time order, and gives their slots back.
  void Remove(IMsgHandler* handler);
  // The earliest due time, or `none` when the map is empty.
  uint64_t EarliestDue(uint64_t none) const;

 private:
  // Merges two chains sorted by due time, `older` queued before `newer`.
  static Slot* MergeByDue(Slot* older, Slot* newer);

  MsgQueue& mQueue;
};

}  // namespace osal

#endif  // OSAL_THREAD_MSG_QUEUE_DUE_MAP_H_
