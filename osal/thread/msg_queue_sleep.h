// The worker sleep of a MsgQueue: a futex word that counts wake-ups.
//
// A view over the queue's mWakeups. The worker reads a ticket (the count),
// makes its sleep known (the incoming list's kWaiting flag), and then waits
// while the count still equals the ticket, until a due time or a Wake. A
// Wake between the ticket and the wait makes the wait return at once, so no
// wake-up is lost.
//
// Threads: Ticket and Wait on the worker only, without the queue's mutex;
// Wake from any thread (QueueMsg, Stop), without a lock.
#ifndef OSAL_THREAD_MSG_QUEUE_SLEEP_H_
#define OSAL_THREAD_MSG_QUEUE_SLEEP_H_

#include <cstdint>

#include "osal/thread/msg_queue.h"

namespace osal {

class MsgQueueSleep {
 public:
  explicit MsgQueueSleep(MsgQueue& queue) : mQueue(queue) {}

  // The current count of wake-ups.
  uint32_t Ticket() const;
  // Sleeps while the count equals `ticket`, until the steady clock
  // (nanoseconds) reaches `due` or a Wake; a due time beyond the clock's
  // range waits without a limit. May also return early (a signal).
  void Wait(uint32_t ticket, uint64_t due);
  // Ends the current Wait, or the one whose ticket was read before.
  void Wake();

 private:
  MsgQueue& mQueue;
};

}  // namespace osal

#endif  // OSAL_THREAD_MSG_QUEUE_SLEEP_H_
