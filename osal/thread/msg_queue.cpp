#include "osal/thread/msg_queue.h"

#include <sys/prctl.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <limits>
#include <tuple>
#include <utility>

#include "platform/log/zu_log.h"

namespace osal {
namespace {

constexpr const char* kTag = "MsgQueue";

using Clock = std::chrono::steady_clock;

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
    return std::numeric_limits<uint64_t>::max();
  }
  return due;
}

// Due times beyond the clock's own range mean "never": wait without a limit
// that would otherwise turn negative.
Clock::time_point Deadline(uint64_t due) {
  if (due > static_cast<uint64_t>(std::numeric_limits<Clock::rep>::max())) {
    return Clock::time_point::max();
  }
  return Clock::time_point(std::chrono::nanoseconds(static_cast<Clock::rep>(due)));
}

// Slots of run items kept for reuse, at most.
constexpr size_t kSpareSlots = 1024;

template <typename T>
T* SlotAddress(uintptr_t word) {
  return reinterpret_cast<T*>(word & ~uintptr_t{3});
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
  }
  return mQueue->MsgProcessor();
}

MsgQueue::MsgQueue() = default;

MsgQueue::~MsgQueue() {
  Stop();
  FreeChain(mStash);
  FreeChain(mSpare.load(std::memory_order_acquire));
  FreeChain(mRecycled);
}

void MsgQueue::FreeChain(Slot* chain) {
  while (chain != nullptr) {
    delete std::exchange(chain, chain->next);
  }
}

int MsgQueue::Start(const std::string& name, Thread::Priority priority) {
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
  std::lock_guard<std::mutex> serial(mStartStopMutex);
  std::unique_ptr<MsgQueueThread> worker;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    mQuit = true;
    mIncoming.fetch_or(kClosed);
    worker = std::move(mWorker);
  }
  mCond.notify_all();
  if (worker) {
    // Without the queue's mutex: the worker needs it to leave MsgProcessor.
    worker->Stop();
  }
  std::lock_guard<std::mutex> lock(mMutex);
  // Taken items are due before every item still pending.
  DiscardTaken(nullptr);
  FreeChain(std::exchange(mBatch, nullptr));
  MergeIntoMap(TakeIncoming(kClosed));
  for (auto& entry : mItems) {
    entry.second->item.mHandler->NotifyFinished();
    delete entry.second;
  }
  mItems.clear();
}

int MsgQueue::QueueMsg(IMsgHandler* handler, unsigned long delay) {
  if (handler == nullptr) {
    return -ENOSYS;
  }
  Pushed pushed = Pushed::kRefused;
  if ((mIncoming.load(std::memory_order_relaxed) & kClosed) == 0) {
    Slot* slot = NewSlot();
    slot->due = DueTime(delay);
    slot->item = MsgItem{handler, 0};
    slot->immediate = delay == 0;
    slot->claimed.store(false, std::memory_order_relaxed);
    pushed = Push(slot);
    if (pushed == Pushed::kRefused) {
      delete slot;
    }
  }
  switch (pushed) {
    case Pushed::kRefused:
      ZuLogPrint(ZU_LOG_ERROR, kTag, "%s: QueueMsg thread not start!", "QueueMsg");
      return -ENOSYS;
    case Pushed::kWakeWorker: {
      // The worker set kWaiting under mMutex and holds it until it waits:
      // once this thread has had the mutex, the notification finds it
      // waiting.
      { std::lock_guard<std::mutex> lock(mMutex); }
      mCond.notify_one();
      return 0;
    }
    case Pushed::kQueued:
      break;
  }
  return 0;
}

MsgQueue::Slot* MsgQueue::NewSlot() {
  if (!mStashBusy.exchange(true, std::memory_order_acquire)) {
    Slot* slot = mStash != nullptr ? mStash : mSpare.exchange(nullptr, std::memory_order_acquire);
    if (slot != nullptr) {
      mStash = slot->next;
    }
    mStashBusy.store(false, std::memory_order_release);
    if (slot != nullptr) {
      return slot;
    }
  }
  return new Slot;
}

MsgQueue::Pushed MsgQueue::Push(Slot* slot) {
  uintptr_t old = mIncoming.load(std::memory_order_acquire);
  uintptr_t desired = 0;
  bool wake = false;
  do {
    if ((old & kClosed) != 0) {
      return Pushed::kRefused;
    }
    slot->next = SlotAddress<Slot>(old);
    // A sleeping worker is woken for an item due before its wake-up time;
    // otherwise it keeps sleeping and the flag stays for the next push.
    wake = (old & kWaiting) != 0 && slot->due < mWakeAt.load(std::memory_order_relaxed);
    desired = reinterpret_cast<uintptr_t>(slot) | (wake ? 0 : (old & kWaiting));
  } while (!mIncoming.compare_exchange_weak(old, desired, std::memory_order_acq_rel,
                                            std::memory_order_acquire));
  return wake ? Pushed::kWakeWorker : Pushed::kQueued;
}

MsgQueue::Chain MsgQueue::TakeIncoming(uintptr_t keep) {
  uintptr_t old = mIncoming.load(std::memory_order_relaxed);
  while (!mIncoming.compare_exchange_weak(old, old & keep, std::memory_order_acquire,
                                          std::memory_order_relaxed)) {
  }
  // The list runs from the newest slot back; turn it around.
  Chain chain;
  chain.last = SlotAddress<Slot>(old);
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

void MsgQueue::MergeIntoMap(Chain chain) {
  // Due times mostly arrive in rising order, so the end is the first guess;
  // a wrong guess falls back to a search that still puts the item after
  // those of the same due time.
  for (Slot* slot = chain.first; slot != nullptr; slot = slot->next) {
    mItems.emplace_hint(mItems.end(), slot->due, slot);
  }
}

void MsgQueue::RemoveMsg(IMsgHandler* handler) {
  if (handler == nullptr) {
    return;
  }
  std::lock_guard<std::mutex> lock(mMutex);
  DiscardTaken(handler);
  MergeIntoMap(TakeIncoming(kFlags));
  for (auto it = mItems.begin(); it != mItems.end();) {
    if (it->second->item.mHandler != handler) {
      ++it;
      continue;
    }
    handler->NotifyFinished();
    delete it->second;
    it = mItems.erase(it);
  }
}

int MsgQueue::GetThreadId() {
  std::lock_guard<std::mutex> lock(mMutex);
  return mWorker ? mWorker->GetId() : -1;
}

void MsgQueue::DiscardTaken(IMsgHandler* handler) {
  for (Slot* slot = mBatch; slot != nullptr; slot = slot->next) {
    if ((handler == nullptr || slot->item.mHandler == handler) && !slot->claimed.exchange(true)) {
      slot->item.mHandler->NotifyFinished();
    }
  }
}

bool MsgQueue::MsgProcessor() {
  Slot* ran = nullptr;
  {
    std::unique_lock<std::mutex> lock(mMutex);
    if (mQuit) {
      // What is left of the batch stays for Stop to notify.
      return false;
    }
    ran = std::exchange(mBatch, nullptr);
    TakeDueItems(lock);
  }
  Recycle(ran);
  RunBatch();
  return true;
}

void MsgQueue::TakeDueItems(std::unique_lock<std::mutex>& lock) {
  const Chain chain = TakeIncoming(kClosed);
  if (chain.first != nullptr && TakeAsBatch(chain)) {
    return;
  }
  MergeIntoMap(chain);
  if (mItems.empty()) {
    Sleep(lock, std::numeric_limits<uint64_t>::max());
    return;
  }
  const uint64_t now = NowNs();
  auto due_end = mItems.begin();
  if (due_end->first > now) {
    Sleep(lock, due_end->first);
    return;
  }
  Slot** tail = &mBatch;
  for (; due_end != mItems.end() && due_end->first <= now; ++due_end) {
    *tail = due_end->second;
    tail = &due_end->second->next;
  }
  *tail = nullptr;
  mItems.erase(mItems.begin(), due_end);
}

bool MsgQueue::TakeAsBatch(const Chain& chain) {
  // Every item of a sorted chain is due by the due time of its newest; when
  // that one was due on queueing, all were due before this step began.
  if (!chain.sorted || !chain.last->immediate) {
    return false;
  }
  // A pending item due at the same time was queued earlier and runs first.
  if (!mItems.empty() && mItems.begin()->first <= chain.last->due) {
    return false;
  }
  mBatch = chain.first;
  return true;
}

void MsgQueue::Sleep(std::unique_lock<std::mutex>& lock, uint64_t due) {
  mWakeAt.store(due, std::memory_order_relaxed);
  uintptr_t empty = 0;
  // Fails when an item came in since the take (or the queue closed): the
  // next step looks again instead.
  if (!mIncoming.compare_exchange_strong(empty, kWaiting, std::memory_order_release,
                                         std::memory_order_relaxed)) {
    return;
  }
  // Whatever ends the wait (due time, an earlier item, Stop), the next step
  // looks at the queue afresh; its take clears kWaiting.
  if (due == std::numeric_limits<uint64_t>::max()) {
    mCond.wait(lock);
  } else {
    mCond.wait_until(lock, Deadline(due));
  }
}

void MsgQueue::RunBatch() {
  for (Slot* slot = mBatch; slot != nullptr; slot = slot->next) {
    if (mQuit) {
      return;
    }
    if (!slot->claimed.exchange(true)) {
      slot->item.mHandler->HandleMsg(slot->item.mArgument);
    }
  }
}

void MsgQueue::Recycle(Slot* chain) {
  while (chain != nullptr) {
    Slot* slot = std::exchange(chain, chain->next);
    if (mRecycledCount == kSpareSlots) {
      delete slot;
      continue;
    }
    slot->next = mRecycled;
    mRecycled = slot;
    ++mRecycledCount;
  }
  // Only this thread fills mSpare, and only when QueueMsg has emptied it.
  if (mRecycled != nullptr && mSpare.load(std::memory_order_relaxed) == nullptr) {
    mSpare.store(std::exchange(mRecycled, nullptr), std::memory_order_release);
    mRecycledCount = 0;
  }
}

}  // namespace osal
