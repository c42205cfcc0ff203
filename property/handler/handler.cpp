#include "property/handler/handler.h"

Handler::Handler() {
  // Started here rather than in the initialiser list: the stop flags are
  // declared after mThread and must exist before the loop reads them.
  mThread = std::thread(&Handler::Loop, this);
}

Handler::~Handler() { StopAndJoin(); }

void Handler::HandleMessage(const Message&) {}

void Handler::DispatchMessage(const Message& msg) {
  if (msg.mFunction) {
    msg.mFunction();
    return;
  }
  if (msg.mWhat < 0) return;
  HandleMessage(msg);
}

void Handler::Enqueue(const Message& msg) {
  std::lock_guard<std::mutex> lock(mQueueMutex);
  // Most messages are due now and go last: the end is the first guess. A
  // message lands after those with the same mWhen either way.
  mQueue.emplace_hint(mQueue.end(), msg.mWhen, msg);
  mQueueCond.notify_one();
}

bool Handler::SendMessage(const Message& msg) {
  Enqueue(msg);
  return true;
}

bool Handler::SendMessageSync(const Message& msg) {
  Enqueue(msg);
  std::unique_lock<std::mutex> lock(mSyncMutex);
  mSyncCond.wait(lock, [this] { return mSyncDone; });
  mSyncDone = false;
  return true;
}

void Handler::StopSafty(bool safely) {
  std::lock_guard<std::mutex> lock(mQueueMutex);
  if (safely) {
    mQuitSafely = true;
  } else {
    mQuit = true;
  }
  mQueueCond.notify_one();
}

bool Handler::IsQuiting() {
  std::lock_guard<std::mutex> lock(mQueueMutex);
  return mQuit || mQuitSafely;
}

void Handler::SignalSyncDone() {
  {
    std::lock_guard<std::mutex> lock(mSyncMutex);
    mSyncDone = true;
  }
  mSyncCond.notify_all();
}

void Handler::StopAndJoin() {
  {
    std::lock_guard<std::mutex> lock(mQueueMutex);
    mQuitSafely = true;
  }
  mQueueCond.notify_all();
  if (mThread.joinable()) mThread.join();
}

void Handler::Loop() {
  for (;;) {
    std::unique_lock<std::mutex> lock(mQueueMutex);
    mQueueCond.wait(lock, [this] { return mQuit || mQuitSafely || !mQueue.empty(); });
    if (mQuit) {
      mQueue.clear();
      return;
    }
    if (mQueue.empty()) return;  // stopping safely and drained
    Message msg = std::move(mQueue.begin()->second);
    mQueue.erase(mQueue.begin());
    lock.unlock();
    DispatchMessage(msg);
  }
}
