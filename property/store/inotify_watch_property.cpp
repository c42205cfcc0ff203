#include "property/store/inotify_watch_property.h"

#include <poll.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>
#include <vector>

#include "platform/log/zu_log.h"

namespace {

constexpr uint32_t kWatchMask = IN_CLOSE_WRITE;
// Ten events with a name of up to 255 bytes and its NUL.
constexpr size_t kReadBufferSize = 10 * (sizeof(inotify_event) + 255 + 1);
constexpr int kReaderWaitMs = 10;

// Owns the singleton: deleted when the library is unloaded, after the
// process-wide property file whose load-time initialisation created it.
struct SingletonHolder {
  InotifyWatchProperty* watcher = new InotifyWatchProperty;
  bool forkedChild = false;  // set in a forked child: see AfterForkInChild
  ~SingletonHolder() {
    if (!forkedChild) delete watcher;
    watcher = nullptr;  // a fork during the rest of the unload finds none
  }
};

SingletonHolder& Holder() {
  static SingletonHolder holder;
  return holder;
}

}  // namespace

InotifyWatchProperty* InotifyWatchProperty::GetInstance() {
  static const bool kForkAware = [] {
    Holder();
    pthread_atfork(&InotifyWatchProperty::BeforeFork, &InotifyWatchProperty::AfterForkInParent,
                   &InotifyWatchProperty::AfterForkInChild);
    return true;
  }();
  (void)kForkAware;
  return Holder().watcher;
}

// A forked child has none of the watcher's threads, yet it may run the
// library's destructors when it exits. mMutex is held across the fork so
// that the child finds it free. The child never destroys the watcher (that
// would wait for threads and condition-variable waiters that only exist in
// the parent) and drops its copy of the inotify descriptor, whose watches
// are the parent's: removing them from the child would end the parent's
// notifications.
void InotifyWatchProperty::BeforeFork() {
  if (Holder().watcher != nullptr) Holder().watcher->mMutex.lock();
}

void InotifyWatchProperty::AfterForkInParent() {
  if (Holder().watcher != nullptr) Holder().watcher->mMutex.unlock();
}

void InotifyWatchProperty::AfterForkInChild() {
  SingletonHolder& holder = Holder();
  if (holder.watcher == nullptr) return;
  holder.forkedChild = true;
  if (holder.watcher->mInotifyFd >= 0) close(holder.watcher->mInotifyFd);
  holder.watcher->mInotifyFd = -1;
  holder.watcher->mMutex.unlock();
}

InotifyWatchProperty::InotifyWatchProperty() { Init(); }

InotifyWatchProperty::~InotifyWatchProperty() {
  mStopReader = true;
  if (mReaderThread.joinable()) mReaderThread.join();
  // The loop may still be handling an event that walks mObservers: let it
  // drain and end before the maps are torn down.
  StopAndJoin();
  std::lock_guard<std::mutex> lock(mMutex);
  for (const WdName& entry : mWatchList) inotify_rm_watch(mInotifyFd, entry.wd);
  if (mInotifyFd > 0) close(mInotifyFd);
  mCurrentEvent = nullptr;
  mObservers.clear();
  mWatchList.clear();
  mWatchCount = 0;
}

int InotifyWatchProperty::Init() {
  if (mReaderThread.joinable()) return 0;  // the constructor already did
  mInotifyFd = inotify_init();
  if (mInotifyFd < 0) {
    ZuLogPrint(ZU_LOG_ERROR, nullptr, "inotify_init error!");
    return -1;
  }
  try {
    mReaderThread = std::thread(&InotifyWatchProperty::ReadLoop, this);
  } catch (...) {
    // The constructor fails with this exception, and no destructor will
    // close the descriptor.
    close(mInotifyFd);
    mInotifyFd = -1;
    throw;
  }
  return 0;
}

std::list<WdName>::iterator InotifyWatchProperty::FindWatch(const std::string& path) {
  return std::find_if(mWatchList.begin(), mWatchList.end(),
                      [&path](const WdName& entry) { return entry.name == path; });
}

int InotifyWatchProperty::CreatWatchPropertyFile(std::string path) {
  auto existing = FindWatch(path);
  if (existing != mWatchList.end()) {
    ZuLogPrint(ZU_LOG_INFO, nullptr, "This filePath is already watched: %s", path.c_str());
    return existing->wd;
  }
  if (mWatchCount >= WD_NUM) {
    ZuLogPrint(ZU_LOG_ERROR, nullptr, "watchFileNumisMAX: %s >= WD_NUM: %d ", path.c_str(), WD_NUM);
    return -1;
  }
  const int wd = inotify_add_watch(mInotifyFd, path.c_str(), kWatchMask);
  if (wd == -1) {
    ZuLogPrint(ZU_LOG_ERROR, nullptr, "inotify_add_watch");
    return -1;
  }
  mWatchList.push_back({wd, path});
  ++mWatchCount;
  return wd;
}

int InotifyWatchProperty::RemoveWatchPropertyFile(std::string path) {
  auto it = FindWatch(path);
  if (it == mWatchList.end()) {
    ZuLogPrint(ZU_LOG_INFO, nullptr, "This filePath is not watched: %s", path.c_str());
    return 0;
  }
  const int wd = it->wd;
  if (!SharesWatch(wd, *it)) inotify_rm_watch(mInotifyFd, wd);
  mWatchList.erase(it);
  --mWatchCount;
  return wd;
}

int InotifyWatchProperty::SetCallback(std::string path, Observer* observer) {
  if (observer == nullptr) {
    ZuLogPrint(ZU_LOG_ERROR, nullptr, "Remove callback fail: observer nullptr!");
    return -1;
  }
  std::lock_guard<std::mutex> lock(mMutex);
  const int wd = CreatWatchPropertyFile(path);
  if (wd < 0) {
    ZuLogPrint(ZU_LOG_ERROR, nullptr, "Remove callback fail: invalid wd!");
    return -1;
  }
  // insert, not operator[]: that one leaves a GNU unique symbol in
  // unoptimised builds, which keeps the library from ever being unloaded.
  std::list<Observer*>& observers = mObservers.insert({wd, {}}).first->second;
  if (std::find(observers.begin(), observers.end(), observer) != observers.end()) {
    ZuLogPrint(ZU_LOG_INFO, nullptr, "This Observer is repeat");
    return 0;
  }
  observers.push_back(observer);
  return 0;
}

int InotifyWatchProperty::WatchPath(std::string path, Observer* observer) {
  return SetCallback(std::move(path), observer);
}

int InotifyWatchProperty::RemoveCallback(std::string path, Observer* observer) {
  bool dispatchMayHoldIt = false;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    // A removal from inside an observer cannot wait for the dispatch it is
    // part of.
    dispatchMayHoldIt = Unregister(path, observer) && mInotifyFd >= 0 &&
                        mDispatchingThread.load() != std::this_thread::get_id();
  }
  // A dispatch on another thread may hold a copy of the list with this
  // observer in it: once that dispatch is over, nobody calls the observer.
  if (dispatchMayHoldIt) {
    mDispatchMutex.lock();
    mDispatchMutex.unlock();
  }
  return 0;
}

bool InotifyWatchProperty::Unregister(const std::string& path, Observer* observer) {
  // A look-up only: creating a watch here would leave one that nothing
  // removes, and ten of them would use up WD_NUM.
  auto entry = FindWatch(path);
  if (entry == mWatchList.end()) {
    ZuLogPrint(ZU_LOG_INFO, nullptr, "This filePath is not watched: %s", path.c_str());
    return false;
  }
  auto observers = mObservers.find(entry->wd);
  if (observers == mObservers.end()) return false;
  std::list<Observer*>& list = observers->second;
  auto it = std::find(list.begin(), list.end(), observer);
  if (it == list.end()) {
    ZuLogPrint(ZU_LOG_INFO, nullptr, "This remove Observer is null");
    return false;
  }
  list.erase(it);
  if (list.empty()) {
    mObservers.erase(observers);
    RemoveWatchPropertyFile(path);
  }
  return true;
}

bool InotifyWatchProperty::IsObserving(int32_t wd, Observer* observer) {
  std::lock_guard<std::mutex> lock(mMutex);
  auto it = mObservers.find(wd);
  return it != mObservers.end() && std::find(it->second.begin(), it->second.end(), observer) != it->second.end();
}

void InotifyWatchProperty::NotifyObservers(int32_t wd) {
  std::lock_guard<std::mutex> dispatch(mDispatchMutex);
  std::list<Observer*> observers;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    auto it = mObservers.find(wd);
    if (it == mObservers.end()) return;
    observers = it->second;
  }
  mDispatchingThread.store(std::this_thread::get_id());
  for (Observer* observer : observers) {
    // An observer may remove (and destroy) another one of this list from
    // inside its own call; that removal does not wait for this dispatch.
    if (observer != nullptr && IsObserving(wd, observer)) observer->UpdateInotify();
  }
  mDispatchingThread.store(std::thread::id());
}

int InotifyWatchProperty::DoInotifyEvent(int wd) {
  NotifyObservers(wd);
  return 0;
}

bool InotifyWatchProperty::SharesWatch(int32_t wd, const WdName& except) const {
  return std::any_of(mWatchList.begin(), mWatchList.end(),
                     [&](const WdName& entry) { return &entry != &except && entry.wd == wd; });
}

void InotifyWatchProperty::MoveObservers(int32_t from, int32_t to) {
  auto old = mObservers.find(from);
  if (old == mObservers.end()) return;
  std::list<Observer*>& target = mObservers.insert({to, {}}).first->second;
  for (Observer* observer : old->second) {
    if (std::find(target.begin(), target.end(), observer) == target.end()) target.push_back(observer);
  }
  mObservers.erase(old);
}

int InotifyWatchProperty::ModifyWatchPropertyFile() {
  std::vector<int32_t> moved;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    for (WdName& entry : mWatchList) {
      const int current = inotify_add_watch(mInotifyFd, entry.name.c_str(), kWatchMask);
      if (current == -1 || current == entry.wd) continue;
      // The path names another file now: its observers follow it, and the
      // old file (which may live on under another name) is no longer
      // watched unless another path still names it.
      const int previous = entry.wd;
      entry.wd = current;
      if (!SharesWatch(previous, entry)) inotify_rm_watch(mInotifyFd, previous);
      MoveObservers(previous, current);
      moved.push_back(current);
    }
  }
  for (int32_t wd : moved) NotifyObservers(wd);
  return 0;
}

void InotifyWatchProperty::HandleMessage(const Message& msg) {
  Handler::HandleMessage(msg);
  if (msg.mWhat != 0) return;
  DoInotifyEvent(msg.mArg1);
  SignalSyncDone();
}

void InotifyWatchProperty::ReadLoop() {
  alignas(inotify_event) char buffer[kReadBufferSize];
  while (!mStopReader.load()) {
    ModifyWatchPropertyFile();
    pollfd waiting = {mInotifyFd, POLLIN, 0};
    if (poll(&waiting, 1, kReaderWaitMs) <= 0) continue;
    const ssize_t length = read(mInotifyFd, buffer, sizeof(buffer));
    if (length == 0) {
      ZuLogPrint(ZU_LOG_WARN, nullptr, "read() from inotify fd returned 0!");
      continue;
    }
    if (length < 0) {
      if (errno == EINTR) continue;
      ZuLogPrint(ZU_LOG_ERROR, nullptr, "read() from inotify fd error");
      return;
    }
    DispatchEvents(buffer, static_cast<size_t>(length));
  }
}

void InotifyWatchProperty::DispatchEvents(const char* buffer, size_t length) {
  size_t offset = 0;
  while (offset + sizeof(inotify_event) <= length) {
    mCurrentEvent = reinterpret_cast<const inotify_event*>(buffer + offset);
    const int wd = mCurrentEvent->wd;
    ZuLogPrint(ZU_LOG_INFO, nullptr, "wd =%2d;", wd);
    SendMessage(Message(0, wd));
    offset += sizeof(inotify_event) + mCurrentEvent->len;
  }
}
