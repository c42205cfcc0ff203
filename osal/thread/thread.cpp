#include "osal/thread/thread.h"

#include <cerrno>

#include "osal/thread/thread_utils.h"
#include "platform/log/zu_log.h"

namespace osal {
namespace {

constexpr const char* kTag = "ZuThread";

}  // namespace

Thread::Thread() = default;

Thread::~Thread() {
  Stop();
}

int Thread::Start(const std::string& name, Priority priority) {
  std::lock_guard<std::mutex> lock(mMutex);
  if (mThread) {
    ZuLogPrint(ZU_LOG_INFO, kTag, "%s:  Thread %s is not stop, ignore!", "Start", mName.c_str());
    return -EEXIST;
  }
  mName = name;
  // The previous worker's id would otherwise answer GetId until the new one
  // has published its own.
  mId = -1;
  mStop.store(false);
  mThread = std::make_unique<std::thread>(&Thread::ThreadFunc, this);
  // The new thread waits for the mutex before it reads the priority.
  mPriority = priority;
  return 0;
}

void Thread::Stop() {
  std::unique_lock<std::mutex> lock(mMutex);
  if (!mThread) {
    return;
  }
  if (pthread_equal(mThread->native_handle(), GetThreadId())) {
    ZuLogPrint(ZU_LOG_WARN, kTag, "%s: Thread %s is not allowed to stop itself", "Stop", mName.c_str());
    return;
  }
  mStop.store(true);
  if (mThread->joinable()) {
    // The worker needs the mutex to publish its id; GetId stays answerable.
    std::thread* thread = mThread.get();
    lock.unlock();
    thread->join();
    lock.lock();
  }
  mThread.reset();
}

int Thread::GetId() {
  std::lock_guard<std::mutex> lock(mMutex);
  return mThread ? mId : -1;
}

void Thread::ThreadFunc() {
  std::string name;
  Priority priority;
  int32_t id;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    mId = GetTid();
    mIdPublished.notify_all();
    name = mName;
    priority = mPriority;
    id = mId;
  }
  SetThreadName(name);
  const int ret = SetThreadPriority(static_cast<long>(GetThreadId()), priority);
  if (ret != 0) {
    ZuLogPrint(ZU_LOG_WARN, kTag, "%s, SetThreadPriority ret:%d, mId:%d", name.c_str(), ret, id);
  }
  while (!mStop.load()) {
    if (!Run()) {
      break;
    }
  }
}

}  // namespace osal
