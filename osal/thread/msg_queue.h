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

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

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
  // per item. An item already taken by the worker is not affected and not
  // waited for. A null or unqueued handler: nothing happens.
  void RemoveMsg(IMsgHandler* handler);

  // Returns the worker's kernel thread id, or -1 when Idle (and briefly
  // right after Start, until the worker has published its id).
  int GetThreadId();

  // One step of the worker: waits for the earliest item or runs one due item.
  // Returns false once the queue is stopping. Called by the worker only.
  bool MsgProcessor();

 private:
  // Equal due times keep the order of insertion, which a multimap guarantees:
  // one node per item, ordered by due time, then by queue order.
  using ItemMap = std::multimap<uint64_t, MsgItem>;

  static ItemMap::node_type MakeNode(uint64_t due, MsgItem item);

  // Held by Start and Stop for their whole run; never by the worker.
  std::mutex mStartStopMutex;
  std::string mName = "Unknown";           // guarded by mMutex
  std::unique_ptr<MsgQueueThread> mWorker;  // guarded by mMutex
  bool mQuit = true;                        // guarded by mMutex
  // The worker sleeps on mCond and no QueueMsg has woken it since.
  bool mWorkerWaiting = false;  // guarded by mMutex
  std::mutex mMutex;
  std::condition_variable mCond;  // the worker waits; QueueMsg and Stop notify
  ItemMap mItems;                 // guarded by mMutex
};

}  // namespace osal

#endif  // OSAL_THREAD_MSG_QUEUE_H_
