// MsgQueue: runs queued handlers on a worker thread of its own, each at or
// after its due time, in due-time order.
//
//   osal::MsgQueue queue;
//   queue.Start("decoder", osal::Thread::kPriorityHigh);
//   queue.QueueMsg(&handler, 10'000'000);  // due in 10 ms
//   handler.Wait();                        // see MsgHandlerBase
//   queue.Stop();                          // pending handlers are notified
//
// Due time: QueueMsg adds the delay (nanoseconds) to the steady clock's
// reading in nanoseconds (CLOCK_MONOTONIC). A sum past 2^64 is held at
// 2^64 - 1: such an item runs only if the clock ever gets there, and RemoveMsg
// and Stop still release it. Items run one at a time, in due-time order;
// items with the same due time in the order they were queued. An item never
// runs before its due time; the worker sleeps without polling, untimed while
// nothing is queued and until the earliest due time otherwise, and a QueueMsg
// that brings the earliest due time forward wakes it. The worker lowers its
// own timer slack to 1 ns, so that it wakes close to the due time also when
// it runs without real-time priority (the kernel's default slack is 50 us).
//
// The worker takes every due item in one step (one lock for the lot) and
// runs them in order without the lock; each taken item is claimed, by the
// worker just before its HandleMsg or by a RemoveMsg or Stop that discards
// it, whichever comes first, so a discarded item never runs.
//
// States: Idle (before Start, after Stop, after a failed Start) refuses
// QueueMsg with -38; Started accepts; Stop discards every pending item, calling
// its handler's NotifyFinished once per item in due-time order, so no Wait is
// left hanging. A stopped queue can be started again.
//
// Ownership: the queue does not own handlers; each must stay alive until its
// items have run or been discarded.
//
// Thread safety: every operation may be called from any thread. One mutex
// guards the queue; the worker never holds it while a HandleMsg runs, so a
// HandleMsg may call QueueMsg, RemoveMsg and GetThreadId on its own queue.
// NotifyFinished is called with the mutex held and must not call into the
// queue. Start and Stop run one at a time as wholes, under a second mutex:
// a Start during a Stop waits until that Stop has returned (and then starts
// a new worker), a second Stop waits for the first and then finds the queue
// Idle. So every Stop returns only when no HandleMsg runs, no worker outlives
// its Stop, and no item accepted after a restart is discarded by an earlier
// Stop. Start, Stop and the destructor must not be called from a HandleMsg
// (the worker cannot join itself, and a Stop joining it would wait for it).
// Lock order: the start/stop mutex before the queue's mutex, the queue's
// mutex before the worker's and before a handler's.
//
// Log lines go to the tag "MsgQueue".
#ifndef OSAL_THREAD_MSG_QUEUE_H_
#define OSAL_THREAD_MSG_QUEUE_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "osal/osal_export.h"
#include "osal/thread/msg_handler.h"
#include "osal/thread/thread.h"

namespace osal {

class OSAL_EXPORT MsgQueue {
 public:
  // One queued item, copied by value.
  struct MsgItem {
    IMsgHandler* mHandler;  // not owned; never null for queued items
    int32_t mArgument;      // handed to HandleMsg by reference; QueueMsg stores 0
  };

  // The queue's worker: each Run is one MsgProcessor step of its queue.
  class OSAL_EXPORT MsgQueueThread : public Thread {
   public:
    explicit MsgQueueThread(MsgQueue* queue);
    ~MsgQueueThread() override;

   protected:
    bool Run() override;

   private:
    MsgQueue* const mQueue;           // not owned; outlives this worker
    bool mTimerSlackLowered = false;  // touched by the worker only
  };

  MsgQueue();
  // Stops the queue (see Stop). Never call it from a HandleMsg.
  virtual ~MsgQueue();

  // A queue is identified by the handlers queued on it and owns a thread.
  MsgQueue(const MsgQueue&) = delete;
  MsgQueue& operator=(const MsgQueue&) = delete;

  // Starts the worker named `name` at `priority`. Returns 0; or, when the
  // queue is already started, logs and returns 0 keeping the old name and
  // worker; or the non-zero result of Thread::Start. If the platform cannot
  // create the thread, std::system_error leaves Start and the queue stays
  // Idle. Waits for a Stop in progress to return first. Never call it from a
  // HandleMsg.
  int Start(const std::string& name, Thread::Priority priority);

  // Refuses new items, finishes a HandleMsg in progress, joins the worker,
  // then calls NotifyFinished once for every pending item in due-time order
  // and drops them all. Does nothing visible on an Idle queue. Waits for a
  // Start or Stop in progress to return first.
  void Stop();

  // Queues `handler` to run `delay` nanoseconds from now. Returns 0, or -38
  // for a null handler (silently) and for a queue that is not started (with
  // an error line). The same handler may be queued any number of times.
  int QueueMsg(IMsgHandler* handler, unsigned long delay);

  // Discards every pending item of `handler`, calling its NotifyFinished once
  // per item; when it returns, none of them can run any more. An item whose
  // HandleMsg has begun (or that the worker has claimed to run next) is not
  // affected and not waited for. A null or unqueued handler: nothing happens.
  void RemoveMsg(IMsgHandler* handler);

  // Returns the worker's kernel thread id, or -1 when Idle (and briefly
  // right after Start, until the worker has published its id).
  int GetThreadId();

  // One step of the worker: waits for the earliest item, or takes every due
  // item and runs them in order. Returns false once the queue is stopping.
  // Called by the worker only.
  bool MsgProcessor();

 private:
  // A queued item and who has claimed it: the worker to run it, or RemoveMsg
  // or Stop to discard it. Never copied or moved: its node travels.
  struct Slot {
    explicit Slot(MsgItem queued) : item(queued) {}
    MsgItem item;
    std::atomic<bool> claimed{false};
  };
  // Equal due times keep the order of insertion, which a multimap guarantees:
  // one node per item, ordered by due time, then by queue order.
  using ItemMap = std::multimap<uint64_t, Slot>;
  using Batch = std::vector<ItemMap::node_type>;

  static ItemMap::node_type MakeNode(uint64_t due, MsgItem item);
  // Waits while nothing is due, else moves every item due by `now` into
  // mBatch. Returns false once the queue is stopping. mMutex held.
  bool TakeDueItems(std::unique_lock<std::mutex>& lock, uint64_t now);
  // Runs the unclaimed items of mBatch in order until a stop. Worker only,
  // without mMutex.
  void RunBatch();
  // Moves mIncoming as a whole into mBatch if it is sorted and nothing in
  // mItems is due before its last item. mMutex held.
  bool TakeIncomingRun();
  // Inserts mIncoming into mItems, after the items of equal due times.
  // mMutex held.
  void MergeIncoming();
  // Queues the node, in mIncoming when it is due at once. Returns whether
  // the worker sleeps and must be woken for it. mMutex held.
  bool Enqueue(ItemMap::node_type node, bool due_now);
  // Claims and notifies the unclaimed taken items of `handler`, or of every
  // handler when it is null. mMutex held.
  void DiscardTaken(IMsgHandler* handler);

  // Held by Start and Stop for their whole run; never by the worker.
  std::mutex mStartStopMutex;
  std::string mName = "Unknown";           // guarded by mMutex
  std::unique_ptr<MsgQueueThread> mWorker;  // guarded by mMutex
  // Written under mMutex; the worker also reads it between the items it runs.
  std::atomic<bool> mQuit{true};
  // The worker sleeps on mCond and no QueueMsg has woken it since.
  bool mWorkerWaiting = false;  // guarded by mMutex
  std::mutex mMutex;
  std::condition_variable mCond;  // the worker waits; QueueMsg and Stop notify
  ItemMap mItems;                 // guarded by mMutex
  // Items queued with delay 0, in queue order, not yet in mItems; sorted
  // while their due times do not decrease (one producer).
  Batch mIncoming;              // guarded by mMutex
  bool mIncomingSorted = true;  // guarded by mMutex
  // The items the worker took in its last step, in run order. Swapped and
  // filled by the worker under mMutex, read by it without the lock while it
  // runs them (nobody else changes the vector then; RemoveMsg and Stop only
  // claim its items, under mMutex).
  Batch mBatch;
  Batch mRan;  // worker only: the batch before, released outside the lock
  Batch mSpare;  // guarded by mMutex: nodes of run items, reused by QueueMsg
};

}  // namespace osal

#endif  // OSAL_THREAD_MSG_QUEUE_H_
