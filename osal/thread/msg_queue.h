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
// that brings the earliest due time forward wakes it. Only once it has run
// items and found no more due, the worker first naps for 20 us (or until
// the earliest due time, if sooner) and is not woken by QueueMsg: an item
// queued meanwhile runs up to 20 us after its due time, and a producer that
// keeps queueing has its items taken in batches instead of waking the
// worker, and being preempted by it, for each. The worker lowers its
// own timer slack to 1 ns, so that it wakes close to the due time also when
// it runs without real-time priority (the kernel's default slack is 50 us).
//
// QueueMsg takes no lock (except to give back the item of a refused call):
// it pushes the item onto a lock-free incoming list, and wakes a sleeping
// worker (once per sleep) with one futex system call. The worker reads the
// clock, then takes the whole list in one step and sorts it by due time
// (stably: equal due times keep queue order). When no pending item is due
// between its earliest due time and the clock reading, the list's due items
// run as they are, after the pending items due by then; otherwise the
// worker sorts the list into the pending items and takes those due.
// It runs the taken items in order without the lock; each taken item is
// claimed, by the worker just before its HandleMsg or by a RemoveMsg or Stop
// that discards it, whichever comes first, so a discarded item never runs.
// Items on their way through live in slots of a pool per queue, allocated
// in blocks when no slot is free and reused, so that producers ahead of the
// worker cost neither them nor the worker an allocation per item (and the
// pool keeps the most slots ever in use at once until the queue is
// destroyed); items that wait for their due time get an allocation of their
// own.
//
// States: Idle (before Start, after Stop, after a failed Start) refuses
// QueueMsg with -38; Started accepts; Stop discards every pending item, calling
// its handler's NotifyFinished once per item in due-time order, so no Wait is
// left hanging. A stopped queue can be started again.
//
// While the worker runs a long batch of due items, it takes the items
// queued meanwhile after every 256 (behind the rest of the batch), so that
// however far producers are ahead of it, no take, and no hold of the
// queue's mutex, grows with their lead.
//
// Fork: a fork waits for nothing of a queue's (no HandleMsg, no step of the
// worker, no QueueMsg, RemoveMsg or Stop; only, as for any code, glibc's
// fork waits for a thread inside malloc), and the pool's slots are in pages
// that the child does not get, so a fork costs the same however busy the
// queues are and however many slots they keep. A child forked from a
// process with queues has none of their workers, and finds every queue
// stopped for good and empty: the items pending at the fork are the
// parent's, which runs or discards each of them once; the child neither
// runs nor notifies them (so a Wait in the child for an item queued before
// the fork never returns). In the child, QueueMsg refuses with -38 (and the
// error line), RemoveMsg does nothing, Stop and the destructor return at
// once, GetThreadId returns -1, and Start is refused with -1 and an error
// line. A queue constructed in the child is a queue like any other.
//
// Ownership: the queue does not own handlers; each must stay alive until its
// items have run or been discarded.
//
// Thread safety: every operation may be called from any thread. One mutex
// guards the pending items; the worker never holds it while a HandleMsg
// runs, so a HandleMsg may call QueueMsg, RemoveMsg and GetThreadId on its
// own queue. NotifyFinished is called with the mutex held and must not call
// into the queue. Start and Stop run one at a time as wholes, under a second
// mutex: a Start during a Stop waits until that Stop has returned (and then
// starts a new worker), a second Stop waits for the first and then finds the
// queue Idle. So every Stop returns only when no HandleMsg runs, no worker outlives
// its Stop, and no item accepted after a restart is discarded by an earlier
// Stop. Stop called from a HandleMsg of the same queue (on its worker) is
// refused: it logs a warning and returns at once, and the queue runs on and
// accepts items. Start and the destructor must not be called from a
// HandleMsg (a Stop in progress would keep Start waiting for the worker
// that waits in it, and the worker cannot join itself).
// Lock order: the start/stop mutex before the queue's mutex, the queue's
// mutex before the worker's and before a handler's.
//
// Log lines go to the tag "MsgQueue".
#ifndef OSAL_THREAD_MSG_QUEUE_H_
#define OSAL_THREAD_MSG_QUEUE_H_

#include <atomic>
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
  // worker; or the non-zero result of Thread::Start; or -1 in a forked child
  // (see Fork above). If the platform cannot create the thread,
  // std::system_error leaves Start and the queue stays Idle. Waits for a
  // Stop in progress to return first. Never call it from a HandleMsg.
  int Start(const std::string& name, Thread::Priority priority);

  // Refuses new items, finishes a HandleMsg in progress, joins the worker,
  // then calls NotifyFinished once for every pending item in due-time order
  // and drops them all. Does nothing visible on an Idle queue. Waits for a
  // Start or Stop in progress to return first. Called from a HandleMsg of
  // this queue: logs "Stop: MsgProcessor <name> is not allowed to stop
  // itself" (warning) and returns without changing anything.
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
  // The queue's parts, each over the fields it names (see their headers).
  friend class MsgQueueDueMap;
  friend class MsgQueueIncoming;
  friend class MsgQueueSleep;
  friend class MsgQueueSlotPool;

  // A queued item. QueueMsg fills one (from the queue's pool, or a new one)
  // and pushes it onto the incoming list; from there it moves, by pointer,
  // into the pending map or straight into a batch, and goes back to the
  // pool (or is freed) once run or discarded. Its fields are written before
  // it is pushed and not changed until it is reused, except `claimed`.
  // 32 bytes: two to a cache line in the pool's blocks.
  struct Slot {
    Slot* next = nullptr;  // in the incoming list, a batch or a free chain
    uint64_t due = 0;      // steady clock, nanoseconds
    // The item's handler; its argument is always 0, as QueueMsg stores it.
    IMsgHandler* handler = nullptr;
    // Set by the first to take the item out of a taken batch: the worker to
    // run it, or RemoveMsg or Stop to discard it.
    std::atomic<bool> claimed{false};
    bool pooled = false;  // one of mBlocks' slots, else a single allocation
  };
  static constexpr size_t kBlockSlots = 64;
  // Lives in pages that a forked child does not get (MsgQueueBlockArena).
  struct alignas(64) Block {
    Slot slots[kBlockSlots];
    static void* operator new(size_t bytes);
    static void operator delete(void* block);
  };
  // Equal due times keep the order of insertion (a multimap guarantees it).
  using ItemMap = std::multimap<uint64_t, Slot*>;
  // A run of slots linked by `next`, oldest first.
  struct Chain {
    Slot* first = nullptr;
    Slot* last = nullptr;
    bool sorted = true;  // due times never decrease along the chain
  };
  enum class Pushed { kRefused, kQueued, kWakeWorker };

  // Bits of mIncoming beside the newest slot's address.
  static constexpr uintptr_t kClosed = 1;   // Idle: QueueMsg refuses
  static constexpr uintptr_t kWaiting = 2;  // the worker sleeps; wake it
  static constexpr uintptr_t kFlags = kClosed | kWaiting;

  // A slot from the pool, or a single allocation when other QueueMsgs have
  // both of the pool's stashes.
  Slot* NewSlot();
  // Allocates another block of the pool and returns its slots as a chain.
  // mStashBusy held.
  Slot* NewBlock();
  // The slot that an mIncoming value points to, or null.
  static Slot* NewestSlot(uintptr_t incoming);
  // Pushes `slot` unless the queue is Idle; says whether the worker must be
  // woken for it.
  Pushed Push(Slot* slot);
  // Takes the incoming list, leaving only the flags in `keep`.
  Chain TakeIncoming(uintptr_t keep);
  // Inserts the chain's slots into mItems, those not due at `now` moved
  // out of the pool. mMutex held.
  void MergeIntoMap(const Chain& chain, uint64_t now);
  // Takes the due items into mBatch; or, finding none, naps once after a
  // batch and otherwise sleeps until the earliest due time (or a wake-up).
  // mMutex held.
  void TakeDueItems(std::unique_lock<std::mutex>& lock);
  // Cuts the items due at `now` off the front of a sorted `chain` and
  // returns them, if they may run as they are right after the pending items
  // due by then; else returns null and leaves `chain` whole. mMutex held.
  Slot* TakeDuePrefix(Chain& chain, uint64_t now);
  // Sleeps until `until` or a Stop, without letting QueueMsg wake it.
  // mMutex held, and released while it naps.
  void Nap(std::unique_lock<std::mutex>& lock, uint64_t until);
  // Sleeps until `due` (untimed for UINT64_MAX) unless items came in.
  // mMutex held, and released while it sleeps.
  void Sleep(std::unique_lock<std::mutex>& lock, uint64_t due);
  // Runs the unclaimed items of mBatch in order until a stop. Worker only,
  // without mMutex.
  void RunBatch();
  // Notifies every pending item, taken or not, in due-time order and drops
  // them all. mMutex held.
  void DiscardPending();
  // Claims and notifies the unclaimed items of mBatch of `handler`, or of
  // every handler when it is null. mMutex held.
  void DiscardTaken(IMsgHandler* handler);
  // Ends the worker's sleep, or the one it is about to begin. Any thread.
  void WakeWorker();
  // Gives back a discarded slot, or a chain of them. mMutex held.
  void Release(Slot* slot);
  void ReleaseChain(Slot* chain);
  // Gives back the slots of a run batch and of mDiscarded (taken under
  // mMutex), and hands them to QueueMsg once it has used up mSpare. Worker
  // only.
  void Recycle(Slot* chain);

  // Fork handlers for every live queue: see Fork above.
  static void BeforeFork();
  static void AfterForkInParent();
  static void AfterForkInChild();
  // Makes this queue, in a forked child, a stopped empty queue without a
  // worker, leaving whatever another thread was changing at the fork as it
  // is (never read, never freed).
  void LeaveWorkerBehind();

  // Held by Start and Stop for their whole run; never by the worker.
  std::mutex mStartStopMutex;
  std::string mName = "Unknown";           // guarded by mMutex
  std::unique_ptr<MsgQueueThread> mWorker;  // guarded by mMutex
  // Written under mMutex; the worker also reads it between the items it runs.
  std::atomic<bool> mQuit{true};
  std::mutex mMutex;
  // Counts the wake-ups of the worker; it sleeps on this futex word while
  // the count stays what it read before it set kWaiting.
  std::atomic<uint32_t> mWakeups{0};
  ItemMap mItems;                 // guarded by mMutex
  // The items the worker took in its last step, in run order. Replaced by
  // the worker under mMutex, read by it without the lock while it runs them
  // (RemoveMsg and Stop only claim its items, under mMutex).
  Slot* mBatch = nullptr;
  // Whether the worker has napped since it last ran items. Worker only.
  bool mNapped = true;
  // The due time the worker sleeps until while kWaiting is set; written by
  // the worker before it sets the flag.
  std::atomic<uint64_t> mWakeAt{0};
  // The newest pushed slot (linked to older ones by `next`) | kClosed |
  // kWaiting. Pushed to by QueueMsg without a lock; taken as a whole by the
  // worker, RemoveMsg and Stop under mMutex. kClosed and kWaiting change
  // under mMutex only, except that a push that wakes the worker clears
  // kWaiting.
  alignas(64) std::atomic<uintptr_t> mIncoming{kClosed};
  // The pool: blocks of slots allocated by QueueMsg when none is free, and
  // kept until the queue is destroyed. Free slots travel from the worker
  // (mRecycled) through mSpare, which the worker fills only when QueueMsg
  // has emptied it, to QueueMsg's mStash; discarded ones through
  // mDiscarded. QueueMsg takes a slot from one of two stashes: the one its
  // thread was given, or else the other; a QueueMsg that finds both busy
  // (other QueueMsgs have them) allocates a single slot instead.
  alignas(64) std::atomic<bool> mStashBusy{false};
  Slot* mStash = nullptr;                      // guarded by mStashBusy
  std::vector<std::unique_ptr<Block>> mBlocks;  // guarded by mStashBusy
  // The second stash, filled from mSpare only (blocks are allocated under
  // mStashBusy), so that two producers seldom meet at one stash.
  std::atomic<bool> mOtherStashBusy{false};
  Slot* mOtherStash = nullptr;  // guarded by mOtherStashBusy
  // Apart from the stash: the worker looks at it after every step.
  alignas(64) std::atomic<Slot*> mSpare{nullptr};
  alignas(64) Chain mRecycled;  // worker only; oldest first
  Slot* mDiscarded = nullptr;  // guarded by mMutex
  MsgQueue* mNextLive = nullptr;  // the live queues' list; guarded by gLiveMutex
  // Set in a forked child before it can have other threads; never in the
  // process that created the queue.
  bool mForkedChild = false;
};

}  // namespace osal

#endif  // OSAL_THREAD_MSG_QUEUE_H_
