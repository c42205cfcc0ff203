// The incoming list of a MsgQueue: the lock-free list that QueueMsg pushes
// its items onto, and that the worker (or RemoveMsg, Stop) takes as a whole.
//
// A view over the queue's mIncoming word, which holds the newest pushed slot
// (each slot links to the one pushed before it) and two flags: kClosed, set
// while the queue is Idle, refuses pushes; kWaiting, set by the worker
// before it sleeps until mWakeAt, asks the push of an item due before then
// to wake it (the push that wakes it clears the flag).
//
// Threads and locks: Push from any thread, without a lock. Take, Arm, Close
// and Open with the queue's mutex held. Ownership: a pushed slot belongs to
// the list until a Take hands it, with the rest, to the caller.
#ifndef OSAL_THREAD_MSG_QUEUE_INCOMING_H_
#define OSAL_THREAD_MSG_QUEUE_INCOMING_H_

#include <cstdint>

#include "osal/thread/msg_queue.h"

namespace osal {

class MsgQueueIncoming {
 public:
  using Slot = MsgQueue::Slot;
  using Chain = MsgQueue::Chain;
  using Pushed = MsgQueue::Pushed;

  explicit MsgQueueIncoming(MsgQueue& queue) : mQueue(queue) {}

  // The slot that an mIncoming value points to, or null.
  static Slot* Newest(uintptr_t incoming);
  // Pushes `slot` (its due time and handler written) unless the list is
  // closed; says whether the worker must be woken for it.
  Pushed Push(Slot* slot);
  // Takes every pushed slot, oldest first, leaving only the flags in `keep`
  // (MsgQueue::kClosed, kFlags).
  Chain Take(uintptr_t keep);
  // Sets kWaiting for a sleep until `due`, unless an item came in (or the
  // list is closed): returns whether the worker may sleep.
  bool Arm(uint64_t due);
  void Close();
  void Open();

 private:
  MsgQueue& mQueue;
};

}  // namespace osal

#endif  // OSAL_THREAD_MSG_QUEUE_INCOMING_H_
