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

// Nodes of run items kept for reuse, at most.
constexpr size_t kSpareNodes = 1024;

}  // namespace

// A node of the item map, allocated without touching the map itself.
MsgQueue::ItemMap::node_type MsgQueue::MakeNode(uint64_t due, MsgItem item) {
  ItemMap single;
  single.emplace(std::piecewise_construct, std::forward_as_tuple(due), std::forward_as_tuple(item));
  return single.extract(single.begin());
}

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
  return ret;
}

void MsgQueue::Stop() {
  std::lock_guard<std::mutex> serial(mStartStopMutex);
  std::unique_ptr<MsgQueueThread> worker;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    mQuit = true;
    mCond.notify_all();
    worker = std::move(mWorker);
  }
  if (worker) {
    // Without the queue's mutex: the worker needs it to leave MsgProcessor.
    worker->Stop();
  }
  std::lock_guard<std::mutex> lock(mMutex);
  // Taken items are due before every item still in the map.
  DiscardTaken(nullptr);
  mBatch.clear();
  MergeIncoming();
  for (auto& entry : mItems) {
    entry.second.item.mHandler->NotifyFinished();
  }
  mItems.clear();
}

int MsgQueue::QueueMsg(IMsgHandler* handler, unsigned long delay) {
  if (handler == nullptr) {
    return -ENOSYS;
  }
  // The clock stays outside the lock, which the worker needs for every
  // batch it takes.
  const uint64_t due = DueTime(delay);
  ItemMap::node_type node;  // released, if refused, after the lock
  std::unique_lock<std::mutex> lock(mMutex);
  if (mSpare.empty()) {
    lock.unlock();
    node = MakeNode(due, MsgItem{handler, 0});
    lock.lock();
  } else {
    node = std::move(mSpare.back());
    mSpare.pop_back();
    node.key() = due;
    node.mapped().item = MsgItem{handler, 0};
    node.mapped().claimed.store(false, std::memory_order_relaxed);
  }
  if (mQuit) {
    ZuLogPrint(ZU_LOG_ERROR, kTag, "%s: QueueMsg thread not start!", "QueueMsg");
    return -ENOSYS;
  }
  const bool wake = Enqueue(std::move(node), delay == 0);
  lock.unlock();
  // After the unlock, so that the worker does not wake into a held mutex.
  if (wake) {
    mCond.notify_all();
  }
  return 0;
}

bool MsgQueue::Enqueue(ItemMap::node_type node, bool due_now) {
  const uint64_t due = node.key();
  if (due_now) {
    // Appended in queue order, no search; the worker takes such a run as a
    // whole when nothing in the map is due before its end.
    mIncomingSorted = mIncomingSorted && (mIncoming.empty() || mIncoming.back().key() <= due);
    mIncoming.push_back(std::move(node));
  } else {
    // Due times mostly arrive in rising order, so the end is the first
    // guess; a wrong guess falls back to a search that still puts the item
    // after those of the same due time.
    mItems.insert(mItems.end(), std::move(node));
    if (mItems.begin()->first != due) {
      return false;  // a worker waiting for an earlier item waits on
    }
  }
  // Only a sleeping worker needs the wake-up, and one per sleep is enough.
  const bool wake = mWorkerWaiting;
  mWorkerWaiting = false;
  return wake;
}

void MsgQueue::MergeIncoming() {
  for (auto& node : mIncoming) {
    mItems.insert(mItems.end(), std::move(node));
  }
  mIncoming.clear();
  mIncomingSorted = true;
}

void MsgQueue::RemoveMsg(IMsgHandler* handler) {
  if (handler == nullptr) {
    return;
  }
  std::lock_guard<std::mutex> lock(mMutex);
  DiscardTaken(handler);
  MergeIncoming();
  for (auto it = mItems.begin(); it != mItems.end();) {
    if (it->second.item.mHandler != handler) {
      ++it;
      continue;
    }
    handler->NotifyFinished();
    it = mItems.erase(it);
  }
}

int MsgQueue::GetThreadId() {
  std::lock_guard<std::mutex> lock(mMutex);
  return mWorker ? mWorker->GetId() : -1;
}

void MsgQueue::DiscardTaken(IMsgHandler* handler) {
  for (auto& node : mBatch) {
    Slot& slot = node.mapped();
    if ((handler == nullptr || slot.item.mHandler == handler) && !slot.claimed.exchange(true)) {
      slot.item.mHandler->NotifyFinished();
    }
  }
}

bool MsgQueue::MsgProcessor() {
  const uint64_t now = NowNs();
  std::unique_lock<std::mutex> lock(mMutex);
  if (mQuit) {
    // What is left of the batch stays for Stop to notify.
    return false;
  }
  // The last batch has run: its nodes serve the next QueueMsg calls; those
  // beyond the spare store are released after the lock.
  while (!mBatch.empty() && mSpare.size() < kSpareNodes) {
    mSpare.push_back(std::move(mBatch.back()));
    mBatch.pop_back();
  }
  mBatch.swap(mRan);
  const bool running = TakeDueItems(lock, now);
  lock.unlock();
  mRan.clear();
  RunBatch();
  return running;
}

bool MsgQueue::TakeDueItems(std::unique_lock<std::mutex>& lock, uint64_t now) {
  if (mItems.empty() && mIncoming.empty()) {
    // `now` is older than whatever arrives; the next step reads the clock.
    while (!mQuit && mItems.empty() && mIncoming.empty()) {
      mWorkerWaiting = true;
      mCond.wait(lock);
      mWorkerWaiting = false;
    }
    return !mQuit;
  }
  if (TakeIncomingRun()) {
    return true;
  }
  MergeIncoming();
  const uint64_t first_due = mItems.begin()->first;
  // `now` may be older than the lock: an item is never taken early, at worst
  // one step later.
  if (first_due > now) {
    // Whatever ends the wait (due time, an earlier item, Stop), the next step
    // looks at the queue afresh.
    mWorkerWaiting = true;
    mCond.wait_until(lock, Deadline(first_due));
    mWorkerWaiting = false;
    return true;
  }
  do {
    mBatch.push_back(mItems.extract(mItems.begin()));
  } while (!mItems.empty() && mItems.begin()->first <= now);
  return true;
}

bool MsgQueue::TakeIncomingRun() {
  if (mIncoming.empty() || !mIncomingSorted) {
    return false;
  }
  if (!mItems.empty() && mItems.begin()->first <= mIncoming.back().key()) {
    return false;
  }
  // Each of these was due when it was queued, that is before this step
  // (even if after the clock reading it began with): none runs early.
  mBatch.swap(mIncoming);
  return true;
}

void MsgQueue::RunBatch() {
  for (auto& node : mBatch) {
    if (mQuit) {
      return;
    }
    Slot& slot = node.mapped();
    if (!slot.claimed.exchange(true)) {
      slot.item.mHandler->HandleMsg(slot.item.mArgument);
    }
  }
}

}  // namespace osal
