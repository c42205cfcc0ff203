#include "osal/thread/msg_queue.h"

#include <sys/prctl.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <limits>
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
}

int MsgQueue::Start(const std::string& name, Thread::Priority priority) {
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
  for (auto& entry : mItems) {
    entry.second.mHandler->NotifyFinished();
  }
  mItems.clear();
}

int MsgQueue::QueueMsg(IMsgHandler* handler, unsigned long delay) {
  if (handler == nullptr) {
    return -ENOSYS;
  }
  std::lock_guard<std::mutex> lock(mMutex);
  if (mQuit) {
    ZuLogPrint(ZU_LOG_ERROR, kTag, "%s: QueueMsg thread not start!", "QueueMsg");
    return -ENOSYS;
  }
  const uint64_t due = DueTime(delay);
  // Due times mostly arrive in rising order, so the end is the first guess;
  // a wrong guess falls back to a search that still puts the item after
  // those of the same due time.
  mItems.emplace_hint(mItems.end(), due, MsgItem{handler, 0});
  if (mItems.begin()->first == due) {
    mCond.notify_all();
  }
  return 0;
}

void MsgQueue::RemoveMsg(IMsgHandler* handler) {
  if (handler == nullptr) {
    return;
  }
  std::lock_guard<std::mutex> lock(mMutex);
  for (auto it = mItems.begin(); it != mItems.end();) {
    if (it->second.mHandler != handler) {
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

bool MsgQueue::MsgProcessor() {
  std::unique_lock<std::mutex> lock(mMutex);
  if (mQuit) {
    return false;
  }
  while (mItems.empty()) {
    mCond.wait(lock);
    if (mQuit) {
      return false;
    }
  }
  auto first = mItems.begin();
  if (first->first > NowNs()) {
    // Whatever ends the wait (due time, an earlier item, Stop), the next step
    // looks at the queue afresh.
    mCond.wait_until(lock, Deadline(first->first));
    return true;
  }
  MsgItem item = first->second;
  mItems.erase(first);
  lock.unlock();
  item.mHandler->HandleMsg(item.mArgument);
  return true;
}

}  // namespace osal
