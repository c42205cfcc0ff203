#include "osal/thread/msg_queue.h"

#include <pthread.h>
#include <sys/prctl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <limits>
#include <new>
#include <utility>

#include "osal/thread/msg_queue_block_arena.h"
#include "osal/thread/msg_queue_due_map.h"
#include "osal/thread/msg_queue_incoming.h"
#include "osal/thread/msg_queue_sleep.h"
#include "osal/thread/msg_queue_slot_pool.h"
#include "platform/log/zu_log.h"

namespace osal {
namespace {

constexpr const char* kTag = "MsgQueue";

using Clock = std::chrono::steady_clock;

// The due time of an item that never falls due, and a wait without a limit.
constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();

uint64_t NowNs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   Clock::now().time_since_epoch())
                                   .count());
}

// A delay that would carry the due time past 2^64 would otherwise wrap to a
// time in the past and run at once.
uint64_t DueTime(unsigned long delay) {
  uint64_t due = 0;
  if (__builtin_add_overflow(NowNs(), static_cast<uint64_t>(delay), &due)) {
    return kNever;
  }
  return due;
}

// How long the worker naps after it has run items, before it sleeps until
// it is woken.
constexpr uint64_t kNapNs = 20000;

// The most items the worker runs before it takes the queue's mutex again,
// to take the items queued meanwhile: however far the producers are ahead,
// each take stays short, and so does the hold a fork may wait for.
constexpr size_t kStepItems = 256;

// The queue whose worker this thread is, if it is one.
thread_local const MsgQueue* tWorkerOf = nullptr;

// Every queue alive in the process, for the fork handlers; linked through
// mNextLive.
pthread_mutex_t gLiveMutex = PTHREAD_MUTEX_INITIALIZER;
MsgQueue* gLiveQueues = nullptr;  // guarded by gLiveMutex
// Set in a forked child before it has other threads, never in the parent:
// QueueMsg reads it rather than mForkedChild, whose cache line the worker
// writes.
bool gInForkedChild = false;

int RefuseItem() {
  ZuLogPrint(ZU_LOG_ERROR, kTag, "%s: QueueMsg thread not start!", "QueueMsg");
  return -ENOSYS;
}

}  // namespace

MsgQueue::MsgQueueThread::MsgQueueThread(MsgQueue* queue) : mQueue(queue) {}

MsgQueue::MsgQueueThread::~MsgQueueThread() = default;

bool MsgQueue::MsgQueueThread::Run() {
  if (!mTimerSlackLowered) {
    // Without real-time scheduling the kernel may defer a timed wake-up by
    // the thread's timer slack, 50 us by default; due times are meant closer.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    mTimerSlackLowered = true;
    tWorkerOf = mQueue;
  }
  return mQueue->MsgProcessor();
}

MsgQueue::MsgQueue() {
  static const bool kForkAware = [] {
    pthread_atfork(&MsgQueue::BeforeFork, &MsgQueue::AfterForkInParent, &MsgQueue::AfterForkInChild);
    return true;
  }();
  (void)kForkAware;
  pthread_mutex_lock(&gLiveMutex);
  mNextLive = gLiveQueues;
  gLiveQueues = this;
  pthread_mutex_unlock(&gLiveMutex);
}

MsgQueue::~MsgQueue() {
  // Every slot outside the pool's blocks is freed by Stop.
  Stop();
  pthread_mutex_lock(&gLiveMutex);
  MsgQueue** link = &gLiveQueues;
  while (*link != this) {
    link = &(*link)->mNextLive;
  }
  *link = mNextLive;
  pthread_mutex_unlock(&gLiveMutex);
}

// A fork holds only the list of queues (a constructor or destructor holds
// it for a few stores), never a queue's mutex: the child touches nothing
// that the queue's mutex guards, so no worker step has to end first.
void MsgQueue::BeforeFork() { pthread_mutex_lock(&gLiveMutex); }

void MsgQueue::AfterForkInParent() { pthread_mutex_unlock(&gLiveMutex); }

void MsgQueue::AfterForkInChild() {
  gInForkedChild = true;
  MsgQueueBlockArena::ForgetInChild();
  for (MsgQueue* queue = gLiveQueues; queue != nullptr; queue = queue->mNextLive) {
    queue->LeaveWorkerBehind();
  }
  pthread_mutex_unlock(&gLiveMutex);
}

void MsgQueue::LeaveWorkerBehind() {
  mForkedChild = true;
  mQuit = true;
  MsgQueueIncoming(*this).Close();
  // Another thread may have been changing any of these at the fork, and
  // the slots they point to are not mapped here: each is dropped unread.
  new (&mMutex) std::mutex();
  new (&mName) std::string();
  new (&mItems) ItemMap();
  mBatch = nullptr;
  mDiscarded = nullptr;
  MsgQueueSlotPool(*this).LeaveBehindInChild();
  // The worker's thread did not come along: its object can be neither
  // joined nor destroyed (a joinable thread object ends the process).
  (void)mWorker.release();
}

int MsgQueue::Start(const std::string& name, Thread::Priority priority) {
  if (mForkedChild) {
    ZuLogPrint(ZU_LOG_ERROR, kTag, "%s: MsgProcessor %s is left in a forked child, not started", "Start",
               name.c_str());
    return -1;
  }
  std::lock_guard<std::mutex> serial(mStartStopMutex);
  std::lock_guard<std::mutex> lock(mMutex);
  if (mWorker) {
    ZuLogPrint(ZU_LOG_INFO, kTag, "%s: MsgProcessor %s is not stop, ignored!", "Start", mName.c_str());
    return 0;
  }
  mName = name;
  mWorker = std::make_unique<MsgQueueThread>(this);
  mQuit = false;
  // Unless the worker started, every way out (a result or an exception from
  // thread creation) returns the queue to Idle: a queue left half started
  // would accept items that nothing runs.
  struct IdleUnlessStarted {
    MsgQueue& queue;
    bool started = false;
    ~IdleUnlessStarted() {
      if (!started) {
        queue.mWorker.reset();
        queue.mQuit = true;
      }
    }
  } guard{*this};
  const int ret = mWorker->Start(name, priority);
  guard.started = ret == 0;
  if (guard.started) {
    // Opened only now, so that nothing is accepted by a queue that might
    // yet fall back to Idle; the worker needs mMutex before it looks.
    MsgQueueIncoming(*this).Open();
  }
  return ret;
}

void MsgQueue::Stop() {
  if (mForkedChild) {
    return;  // no worker to join and nothing pending
  }
  if (tWorkerOf == this) {
    std::lock_guard<std::mutex> lock(mMutex);
    ZuLogPrint(ZU_LOG_WARN, kTag, "%s: MsgProcessor %s is not allowed to stop itself", "Stop", mName.c_str());
    return;
  }
  std::lock_guard<std::mutex> serial(mStartStopMutex);
  std::unique_ptr<MsgQueueThread> worker;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    mQuit = true;
    MsgQueueIncoming(*this).Close();
    worker = std::move(mWorker);
  }
  WakeWorker();
  if (worker) {
    // Without the queue's mutex: the worker needs it to leave MsgProcessor.
    worker->Stop();
  }
  std::lock_guard<std::mutex> lock(mMutex);
  DiscardPending();
}

void MsgQueue::DiscardPending() {
  // Taken items are due before every item still pending.
  DiscardTaken(nullptr);
  ReleaseChain(std::exchange(mBatch, nullptr));
  MergeIntoMap(TakeIncoming(kClosed), kNever);
  MsgQueueDueMap(*this).Remove(nullptr);
}

int MsgQueue::QueueMsg(IMsgHandler* handler, unsigned long delay) {
  if (handler == nullptr) {
    return -ENOSYS;
  }
  // Refused before a slot is taken: a forked child's pool starts empty, and
  // would map a block for an item it refuses.
  if (gInForkedChild && mForkedChild) {
    return RefuseItem();
  }
  const uint64_t due = DueTime(delay);
  Slot* slot = NewSlot();
  slot->due = due;
  slot->handler = handler;
  slot->claimed.store(false, std::memory_order_relaxed);
  const Pushed pushed = Push(slot);
  if (pushed == Pushed::kRefused) {
    {
      std::lock_guard<std::mutex> lock(mMutex);
      Release(slot);
    }
    return RefuseItem();
  }
  if (pushed == Pushed::kWakeWorker) {
    WakeWorker();
  }
  return 0;
}

// A worker that has not yet begun to sleep finds the count changed and does
// not.
void MsgQueue::WakeWorker() { MsgQueueSleep(*this).Wake(); }

MsgQueue::Slot* MsgQueue::NewSlot() { return MsgQueueSlotPool(*this).New(); }

MsgQueue::Slot* MsgQueue::NewBlock() { return MsgQueueSlotPool(*this).NewBlock(); }

MsgQueue::Slot* MsgQueue::NewestSlot(uintptr_t incoming) { return MsgQueueIncoming::Newest(incoming); }

MsgQueue::Pushed MsgQueue::Push(Slot* slot) { return MsgQueueIncoming(*this).Push(slot); }

MsgQueue::Chain MsgQueue::TakeIncoming(uintptr_t keep) { return MsgQueueIncoming(*this).Take(keep); }

void MsgQueue::MergeIntoMap(const Chain& chain, uint64_t now) { MsgQueueDueMap(*this).Merge(chain, now); }

void MsgQueue::RemoveMsg(IMsgHandler* handler) {
  if (handler == nullptr || mForkedChild) {
    return;
  }
  std::lock_guard<std::mutex> lock(mMutex);
  DiscardTaken(handler);
  MergeIntoMap(TakeIncoming(kFlags), NowNs());
  MsgQueueDueMap(*this).Remove(handler);
}

int MsgQueue::GetThreadId() {
  if (mForkedChild) {
    return -1;
  }
  std::lock_guard<std::mutex> lock(mMutex);
  return mWorker ? mWorker->GetId() : -1;
}

void MsgQueue::DiscardTaken(IMsgHandler* handler) {
  for (Slot* slot = mBatch; slot != nullptr; slot = slot->next) {
    if ((handler == nullptr || slot->handler == handler) && !slot->claimed.exchange(true)) {
      slot->handler->NotifyFinished();
    }
  }
}

void MsgQueue::Release(Slot* slot) { MsgQueueSlotPool(*this).Release(slot); }

void MsgQueue::ReleaseChain(Slot* chain) { MsgQueueSlotPool(*this).ReleaseChain(chain); }

bool MsgQueue::MsgProcessor() {
  MsgQueueSlotPool pool(*this);
  Slot* ran = nullptr;
  Slot* discarded = nullptr;
  {
    std::unique_lock<std::mutex> lock(mMutex);
    if (mQuit) {
      // What is left of the batch stays for Stop to notify.
      return false;
    }
    ran = std::exchange(mBatch, nullptr);
    discarded = pool.TakeDiscarded();
    TakeDueItems(lock);
  }
  Recycle(ran);
  Recycle(discarded);
  RunBatch();
  return true;
}

void MsgQueue::TakeDueItems(std::unique_lock<std::mutex>& lock) {
  // Read before the take, so that every item the take leaves behind was
  // pushed after this reading and no item queued by then and due at `now`
  // stays behind while a later one runs. (A QueueMsg still in progress at
  // `now` has not queued its item yet, whatever its due time.)
  const uint64_t now = NowNs();
  MsgQueueDueMap map(*this);
  map.TakeDue(TakeIncoming(kClosed), now, &mBatch);
  if (mBatch != nullptr) {
    mNapped = false;
    return;
  }
  const uint64_t due = map.EarliestDue(kNever);
  if (!mNapped) {
    mNapped = true;
    Nap(lock, std::min(due, now + kNapNs));
    return;
  }
  Sleep(lock, due);
}

MsgQueue::Slot* MsgQueue::TakeDuePrefix(Chain& chain, uint64_t now) {
  return MsgQueueDueMap(*this).TakeDuePrefix(chain, now);
}

void MsgQueue::Nap(std::unique_lock<std::mutex>& lock, uint64_t until) {
  // Without kWaiting no QueueMsg wakes the worker; Stop does.
  MsgQueueSleep sleep(*this);
  const uint32_t ticket = sleep.Ticket();
  lock.unlock();
  sleep.Wait(ticket, until);
  lock.lock();
}

void MsgQueue::Sleep(std::unique_lock<std::mutex>& lock, uint64_t due) {
  MsgQueueSleep sleep(*this);
  // Read before kWaiting is set: a wake-up meant for this sleep counts later.
  const uint32_t ticket = sleep.Ticket();
  // Refused when an item came in since the take (or the queue closed): the
  // next step looks again instead.
  if (!MsgQueueIncoming(*this).Arm(due)) {
    return;
  }
  // Whatever ends the wait (due time, an earlier item, Stop, a signal), the
  // next step looks at the queue afresh; its take clears kWaiting.
  lock.unlock();
  sleep.Wait(ticket, due);
  lock.lock();
}

void MsgQueue::RunBatch() {
  // The worker alone links the batch; RemoveMsg and Stop only claim its
  // items.
  Slot** tail = &mBatch;
  while (*tail != nullptr) {
    tail = &(*tail)->next;
  }
  Slot* slot = mBatch;
  for (;;) {
    Slot* last_run = nullptr;
    for (size_t visited = 0; slot != nullptr && visited < kStepItems; ++visited) {
      if (mQuit) {
        return;
      }
      if (!slot->claimed.exchange(true)) {
        MsgItem item{slot->handler, 0};
        item.mHandler->HandleMsg(item.mArgument);
      }
      last_run = std::exchange(slot, slot->next);
    }
    if (slot == nullptr) {
      return;  // the next step gives back the whole batch
    }
    // A long batch: give back what ran and take what came in meanwhile,
    // behind the rest, before running on.
    Slot* ran = nullptr;
    {
      std::lock_guard<std::mutex> lock(mMutex);
      if (mQuit) {
        return;
      }
      ran = std::exchange(mBatch, slot);
      last_run->next = nullptr;
      const uint64_t now = NowNs();  // before the take, as in TakeDueItems
      tail = MsgQueueDueMap(*this).TakeDue(TakeIncoming(kClosed), now, tail);
    }
    Recycle(ran);
  }
}

void MsgQueue::Recycle(Slot* chain) { MsgQueueSlotPool(*this).Recycle(chain); }

}  // namespace osal
