#include "osal/thread/msg_queue.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <limits>
#include <utility>

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

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) && std::atomic<uint32_t>::is_always_lock_free,
              "a futex word");

uint32_t* FutexWord(std::atomic<uint32_t>& word) {
  return reinterpret_cast<uint32_t*>(&word);
}

// Sleeps while `word` holds `expected`, until the steady clock
// (CLOCK_MONOTONIC, which FUTEX_WAIT_BITSET measures absolute times on)
// reaches `due`, or a wake-up. Due times beyond the clock's own range mean
// "never": no limit, which would otherwise turn negative.
void FutexWait(std::atomic<uint32_t>& word, uint32_t expected, uint64_t due) {
  timespec deadline{};
  timespec* limit = nullptr;
  if (due <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
    deadline.tv_sec = static_cast<time_t>(due / 1000000000);
    deadline.tv_nsec = static_cast<long>(due % 1000000000);
    limit = &deadline;
  }
  syscall(SYS_futex, FutexWord(word), FUTEX_WAIT_BITSET_PRIVATE, expected, limit, nullptr,
          FUTEX_BITSET_MATCH_ANY);
}

void FutexWake(std::atomic<uint32_t>& word) {
  syscall(SYS_futex, FutexWord(word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

// The pool's blocks, at most.
constexpr size_t kPoolBlocks = 16;

// How long the worker naps after it has run items, before it sleeps until
// it is woken.
constexpr uint64_t kNapNs = 20000;

// The queue whose worker this thread is, if it is one.
thread_local const MsgQueue* tWorkerOf = nullptr;

// Every queue alive in the process, for the fork handlers; linked through
// mNextLive.
pthread_mutex_t gLiveMutex = PTHREAD_MUTEX_INITIALIZER;
MsgQueue* gLiveQueues = nullptr;  // guarded by gLiveMutex

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

// A fork waits until no thread holds the mutex of any queue, so that the
// child finds them free and every queue whole. The child has none of the
// workers: its queues are stopped for good.
void MsgQueue::BeforeFork() {
  pthread_mutex_lock(&gLiveMutex);
  for (MsgQueue* queue = gLiveQueues; queue != nullptr; queue = queue->mNextLive) {
    queue->mMutex.lock();
  }
}

void MsgQueue::AfterForkInParent() {
  for (MsgQueue* queue = gLiveQueues; queue != nullptr; queue = queue->mNextLive) {
    queue->mMutex.unlock();
  }
  pthread_mutex_unlock(&gLiveMutex);
}

void MsgQueue::AfterForkInChild() {
  for (MsgQueue* queue = gLiveQueues; queue != nullptr; queue = queue->mNextLive) {
    queue->LeaveWorkerBehind();
    queue->mMutex.unlock();
  }
  pthread_mutex_unlock(&gLiveMutex);
}

void MsgQueue::LeaveWorkerBehind() {
  mForkedChild = true;
  mQuit = true;
  mIncoming.fetch_or(kClosed);
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
    mIncoming.fetch_and(~kClosed);
  }
  return ret;
}

void MsgQueue::Stop() {
  if (tWorkerOf == this) {
    std::lock_guard<std::mutex> lock(mMutex);
    ZuLogPrint(ZU_LOG_WARN, kTag, "%s: MsgProcessor %s is not allowed to stop itself", "Stop", mName.c_str());
    return;
  }
  if (mForkedChild) {
    // No worker to join; another thread's Start or Stop may have held the
    // start/stop mutex at the fork.
    std::lock_guard<std::mutex> lock(mMutex);
    DiscardPending();
    return;
  }
  std::lock_guard<std::mutex> serial(mStartStopMutex);
  std::unique_ptr<MsgQueueThread> worker;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    mQuit = true;
    mIncoming.fetch_or(kClosed);
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
  for (auto& entry : mItems) {
    entry.second->handler->NotifyFinished();
    Release(entry.second);
  }
  mItems.clear();
}

int MsgQueue::QueueMsg(IMsgHandler* handler, unsigned long delay) {
  if (handler == nullptr) {
    return -ENOSYS;
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
    ZuLogPrint(ZU_LOG_ERROR, kTag, "%s: QueueMsg thread not start!", "QueueMsg");
    return -ENOSYS;
  }
  if (pushed == Pushed::kWakeWorker) {
    WakeWorker();
  }
  return 0;
}

void MsgQueue::WakeWorker() {
  // A worker that has not yet begun to sleep finds the count changed and
  // does not.
  mWakeups.fetch_add(1, std::memory_order_release);
  FutexWake(mWakeups);
}

MsgQueue::Slot* MsgQueue::NewSlot() {
  if (mStashBusy.exchange(true, std::memory_order_acquire)) {
    return new Slot;  // another QueueMsg has the stash
  }
  struct Unbusy {
    std::atomic<bool>& busy;
    ~Unbusy() { busy.store(false, std::memory_order_release); }
  } unbusy{mStashBusy};
  if (mStash == nullptr) {
    mStash = mSpare.exchange(nullptr, std::memory_order_acquire);
  }
  if (mStash == nullptr) {
    mStash = NewBlock();
  }
  if (mStash == nullptr) {
    return new Slot;  // the pool is spent
  }
  Slot* slot = std::exchange(mStash, mStash->next);
  // The worker wrote the next slot last; fetch it while the caller goes on,
  // not when the next QueueMsg needs it.
  __builtin_prefetch(mStash, 1);
  return slot;
}

MsgQueue::Slot* MsgQueue::NewBlock() {
  if (mBlocks.size() == kPoolBlocks) {
    return nullptr;
  }
  static_assert(sizeof(Slot) == 32, "two slots to a cache line");
  mBlocks.push_back(std::make_unique<Block>());
  Slot* block = mBlocks.back()->slots;
  for (size_t i = 0; i < kBlockSlots; ++i) {
    block[i].pooled = true;
    block[i].next = i + 1 < kBlockSlots ? &block[i + 1] : nullptr;
  }
  return block;
}

MsgQueue::Slot* MsgQueue::NewestSlot(uintptr_t incoming) {
  return reinterpret_cast<Slot*>(incoming & ~kFlags);
}

MsgQueue::Pushed MsgQueue::Push(Slot* slot) {
  // Once pushed, the slot may run and be reused at any moment.
  const uint64_t due = slot->due;
  uintptr_t old = mIncoming.load(std::memory_order_acquire);
  bool wake = false;
  uintptr_t desired = 0;
  do {
    if ((old & kClosed) != 0) {
      return Pushed::kRefused;
    }
    slot->next = NewestSlot(old);
    // A sleeping worker is woken, once, for an item due before its wake-up
    // time; otherwise it sleeps on and the flag stays for the next push.
    wake = (old & kWaiting) != 0 && due < mWakeAt.load(std::memory_order_relaxed);
    desired = reinterpret_cast<uintptr_t>(slot) | (wake ? 0 : (old & kWaiting));
  } while (!mIncoming.compare_exchange_weak(old, desired, std::memory_order_acq_rel,
                                            std::memory_order_acquire));
  if (wake) {
    return Pushed::kWakeWorker;
  }
  // The wake-up time read above may be that of an earlier sleep, if the
  // worker has since woken and set the flag again for a later one; the
  // exchange has made the current one visible.
  if ((old & kWaiting) != 0 && due < mWakeAt.load(std::memory_order_relaxed)) {
    return Pushed::kWakeWorker;
  }
  return Pushed::kQueued;
}

MsgQueue::Chain MsgQueue::TakeIncoming(uintptr_t keep) {
  uintptr_t old = mIncoming.load(std::memory_order_relaxed);
  while (!mIncoming.compare_exchange_weak(old, old & keep, std::memory_order_acquire,
                                          std::memory_order_relaxed)) {
  }
  // The list runs from the newest slot back; turn it around.
  Chain chain;
  chain.last = NewestSlot(old);
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

void MsgQueue::MergeIntoMap(const Chain& chain, uint64_t now) {
  for (Slot* slot = chain.first; slot != nullptr;) {
    Slot* next = slot->next;
    if (slot->pooled && slot->due > now) {
      // An item that waits moves out of the pool, which is meant for items
      // on their way through.
      Slot* single = new Slot;
      single->due = slot->due;
      single->handler = slot->handler;
      Release(slot);
      slot = single;
    }
    // Due times mostly arrive in rising order, so the end is the first
    // guess; a wrong guess falls back to a search that still puts the item
    // after those of the same due time.
    mItems.emplace_hint(mItems.end(), slot->due, slot);
    slot = next;
  }
}

void MsgQueue::RemoveMsg(IMsgHandler* handler) {
  if (handler == nullptr) {
    return;
  }
  std::lock_guard<std::mutex> lock(mMutex);
  DiscardTaken(handler);
  MergeIntoMap(TakeIncoming(kFlags), NowNs());
  for (auto it = mItems.begin(); it != mItems.end();) {
    if (it->second->handler != handler) {
      ++it;
      continue;
    }
    handler->NotifyFinished();
    Release(it->second);
    it = mItems.erase(it);
  }
}

int MsgQueue::GetThreadId() {
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

void MsgQueue::Release(Slot* slot) {
  if (!slot->pooled) {
    delete slot;
    return;
  }
  slot->next = mDiscarded;
  mDiscarded = slot;
}

void MsgQueue::ReleaseChain(Slot* chain) {
  while (chain != nullptr) {
    Release(std::exchange(chain, chain->next));
  }
}

bool MsgQueue::MsgProcessor() {
  Slot* ran = nullptr;
  Slot* discarded = nullptr;
  {
    std::unique_lock<std::mutex> lock(mMutex);
    if (mQuit) {
      // What is left of the batch stays for Stop to notify.
      return false;
    }
    ran = std::exchange(mBatch, nullptr);
    discarded = std::exchange(mDiscarded, nullptr);
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
  Chain chain = TakeIncoming(kClosed);
  Slot* const due_in_chain = TakeDuePrefix(chain, now);
  MergeIntoMap(chain, now);
  Slot** tail = &mBatch;
  auto due_end = mItems.begin();
  for (; due_end != mItems.end() && due_end->first <= now; ++due_end) {
    *tail = due_end->second;
    tail = &due_end->second->next;
  }
  mItems.erase(mItems.begin(), due_end);
  *tail = due_in_chain;
  if (mBatch != nullptr) {
    mNapped = false;
    return;
  }
  const uint64_t due = mItems.empty() ? kNever : mItems.begin()->first;
  if (!mNapped) {
    mNapped = true;
    Nap(lock, std::min(due, now + kNapNs));
    return;
  }
  Sleep(lock, due);
}

MsgQueue::Slot* MsgQueue::TakeDuePrefix(Chain& chain, uint64_t now) {
  if (chain.first == nullptr || !chain.sorted || chain.first->due > now) {
    return nullptr;
  }
  // Pending items due by the chain's first run before it (at the same due
  // time they were queued earlier); one due later, and by `now`, would have
  // to run amid the chain.
  const auto after_first = mItems.upper_bound(chain.first->due);
  if (after_first != mItems.end() && after_first->first <= now) {
    return nullptr;
  }
  Slot* const due = chain.first;
  // Mostly the whole chain is due; otherwise only the items pushed between
  // the clock reading and the take are not.
  Slot* last = chain.last->due <= now ? chain.last : chain.first;
  while (last->next != nullptr && last->next->due <= now) {
    last = last->next;
  }
  chain.first = last->next;
  chain.last = chain.first != nullptr ? chain.last : nullptr;
  last->next = nullptr;
  return due;
}

void MsgQueue::Nap(std::unique_lock<std::mutex>& lock, uint64_t until) {
  // Without kWaiting no QueueMsg wakes the worker; Stop does.
  const uint32_t wakeups = mWakeups.load(std::memory_order_acquire);
  lock.unlock();
  FutexWait(mWakeups, wakeups, until);
  lock.lock();
}

void MsgQueue::Sleep(std::unique_lock<std::mutex>& lock, uint64_t due) {
  mWakeAt.store(due, std::memory_order_relaxed);
  // Read before kWaiting is set: a wake-up meant for this sleep counts later.
  const uint32_t wakeups = mWakeups.load(std::memory_order_acquire);
  uintptr_t empty = 0;
  // Fails when an item came in since the take (or the queue closed): the
  // next step looks again instead.
  if (!mIncoming.compare_exchange_strong(empty, kWaiting, std::memory_order_release,
                                         std::memory_order_relaxed)) {
    return;
  }
  // Whatever ends the wait (due time, an earlier item, Stop, a signal), the
  // next step looks at the queue afresh; its take clears kWaiting.
  lock.unlock();
  FutexWait(mWakeups, wakeups, due);
  lock.lock();
}

void MsgQueue::RunBatch() {
  for (Slot* slot = mBatch; slot != nullptr; slot = slot->next) {
    if (mQuit) {
      return;
    }
    if (!slot->claimed.exchange(true)) {
      MsgItem item{slot->handler, 0};
      item.mHandler->HandleMsg(item.mArgument);
    }
  }
}

void MsgQueue::Recycle(Slot* chain) {
  // Kept in run order, so that QueueMsg takes slots in address order and
  // the worker, walking them again, meets them in order too.
  while (chain != nullptr) {
    Slot* slot = std::exchange(chain, chain->next);
    if (!slot->pooled) {
      delete slot;
      continue;
    }
    slot->next = nullptr;
    (mRecycled.last != nullptr ? mRecycled.last->next : mRecycled.first) = slot;
    mRecycled.last = slot;
  }
  // Only this thread fills mSpare, and only when QueueMsg has emptied it.
  if (mRecycled.first != nullptr && mSpare.load(std::memory_order_relaxed) == nullptr) {
    mSpare.store(std::exchange(mRecycled, Chain{}).first, std::memory_order_release);
  }
}

}  // namespace osal
