#include "property/store/inotify_watch_property.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>
#include <vector>

#include "platform/log/zu_log.h"
#include "property/store/fork_registry.h"
#include "property/store/inotify_event_decoder.h"
#include "property/store/library_thread_start.h"
#include "property/store/observer_registry.h"
#include "property/store/watch_table.h"

namespace {

constexpr int32_t kNoWatch = Ancestors::kNoWatch;
// Ten events with a name of up to 255 bytes and its NUL.
constexpr size_t kReadBufferSize = 10 * (sizeof(inotify_event) + 255 + 1);

}  // namespace

struct InotifyWatchProperty::Extras {
  explicit Extras(InotifyWatchProperty& watcher)
      : table(watcher.mInotifyFd, watcher.mWatchList, watcher.mNextMissingKey, watcher.mWatchCount, &Moved,
              &watcher),
        observers(watcher.mObservers) {}
  static void Moved(void* watcher, int32_t from, int32_t to) {
    static_cast<InotifyWatchProperty*>(watcher)->MoveObservers(from, to);
  }
  WatchTable table;            // the watcher's paths and their watches
  ObserverRegistry observers;  // who is told of each watch
};

// The map (not its entries) is guarded by `mutex`, which comes after a
// watcher's mMutex and is held across a fork.
struct InotifyWatchPropertyTable {
  std::mutex mutex;
  std::map<const InotifyWatchProperty*, InotifyWatchProperty::Extras> extras;
};

namespace {

// Owns the singleton, created on first use and deleted when the library is
// unloaded. Constructed by the first PrepareForFork, so that it outlives the
// property files whose constructors make that call.
struct SingletonHolder {
  std::mutex creating;  // held while the watcher is created, and across a fork
  std::atomic<InotifyWatchProperty*> watcher{nullptr};
  bool forkedChild = false;  // set in a forked child: see AfterForkInChild
  InotifyWatchPropertyTable table;
  ~SingletonHolder() {
    if (!forkedChild) delete watcher.load();
    watcher = nullptr;  // a fork during the rest of the unload finds none
  }
};

SingletonHolder& Holder() {
  static SingletonHolder holder;
  return holder;
}

}  // namespace

void InotifyWatchProperty::PrepareForFork() {
  Holder();
  static constexpr ForkRegistry::Participant kFork{&BeforeFork, &AfterForkInParent, &AfterForkInChild};
  ForkRegistry::Join(ForkRegistry::kWatcher, &kFork);
}

InotifyWatchProperty* InotifyWatchProperty::GetInstance() {
  PrepareForFork();
  SingletonHolder& holder = Holder();
  InotifyWatchProperty* watcher = holder.watcher.load(std::memory_order_acquire);
  if (watcher != nullptr) return watcher;
  std::lock_guard<std::mutex> lock(holder.creating);
  if (holder.watcher.load() == nullptr) {
    const LibraryThreadStart quiet;
    holder.watcher.store(new InotifyWatchProperty, std::memory_order_release);
  }
  return holder.watcher.load();
}

// A forked child has none of the watcher's threads, yet it may run the
// library's destructors when it exits. The creation lock and mMutex are held
// across the fork so that the child finds them free. The child never
// destroys the watcher (that would wait for threads and condition-variable
// waiters that only exist in the parent) and drops its copies of the
// descriptors, whose watches are the parent's: removing them from the child
// would end the parent's notifications.
void InotifyWatchProperty::BeforeFork() {
  SingletonHolder& holder = Holder();
  holder.creating.lock();
  if (holder.watcher.load() != nullptr) holder.watcher.load()->mMutex.lock();
  holder.table.mutex.lock();
}

void InotifyWatchProperty::AfterForkInParent() {
  SingletonHolder& holder = Holder();
  holder.table.mutex.unlock();
  if (holder.watcher.load() != nullptr) holder.watcher.load()->mMutex.unlock();
  holder.creating.unlock();
}

void InotifyWatchProperty::AfterForkInChild() {
  SingletonHolder& holder = Holder();
  holder.table.mutex.unlock();
  InotifyWatchProperty* watcher = holder.watcher.load();
  if (watcher != nullptr) {
    holder.forkedChild = true;
    watcher->CloseDescriptors();
    watcher->mMutex.unlock();
  }
  holder.creating.unlock();
}

InotifyWatchProperty::InotifyWatchProperty() {
  {
    InotifyWatchPropertyTable& table = Holder().table;
    std::lock_guard<std::mutex> lock(table.mutex);
    table.extras.emplace(this, Extras(*this));
  }
  Init();
  LibraryThreadStart::Demote(mThread);
  if (mReaderThread.joinable()) LibraryThreadStart::Demote(mReaderThread);
}

InotifyWatchProperty::~InotifyWatchProperty() {
  mStopReader = true;
  if (mReaderThread.joinable()) {
    Wake();
    mReaderThread.join();
  }
  // The loop may still be handling an event that walks mObservers: let it
  // drain and end before the maps are torn down.
  StopAndJoin();
  std::lock_guard<std::mutex> lock(mMutex);
  CloseDescriptors();  // removes every watch
  mObservers.clear();
  More().table.Clear();
  InotifyWatchPropertyTable& table = Holder().table;
  std::lock_guard<std::mutex> tableLock(table.mutex);
  table.extras.erase(this);
}

InotifyWatchProperty::Extras& InotifyWatchProperty::More() const {
  InotifyWatchPropertyTable& table = Holder().table;
  std::lock_guard<std::mutex> lock(table.mutex);
  return table.extras.find(this)->second;
}

void InotifyWatchProperty::CloseDescriptors() {
  if (mInotifyFd >= 0) close(mInotifyFd);
  if (mStopFd >= 0) close(mStopFd);
  mInotifyFd = -1;
  mStopFd = -1;
}

int InotifyWatchProperty::Init() {
  if (mReaderThread.joinable()) return 0;  // the constructor already did
  mInotifyFd = inotify_init1(IN_CLOEXEC);
  mStopFd = mInotifyFd < 0 ? -1 : eventfd(0, EFD_CLOEXEC);
  if (mStopFd < 0) {
    ZuLogPrint(ZU_LOG_ERROR, nullptr, "inotify_init error!");
    CloseDescriptors();
    return -1;
  }
  try {
    mReaderThread = std::thread(&InotifyWatchProperty::ReadLoop, this);
  } catch (...) {
    // The constructor fails with this exception, and no destructor will
    // close the descriptors.
    CloseDescriptors();
    throw;
  }
  return 0;
}

std::list<WdName>::iterator InotifyWatchProperty::FindWatch(const std::string& path) {
  return More().table.Find(path);
}

int InotifyWatchProperty::CreatWatchPropertyFile(std::string path) { return AddWatch(path, false); }

int InotifyWatchProperty::AddWatch(const std::string& path, bool fileMayBeMissing) {
  return More().table.Add(path, fileMayBeMissing);
}

int InotifyWatchProperty::RemoveWatchPropertyFile(std::string path) { return More().table.Remove(path); }

int InotifyWatchProperty::SetCallback(std::string path, Observer* observer) { return Register(path, observer, false); }

int InotifyWatchProperty::SetCallbackUntilIdle(std::string path, Observer* observer) {
  return Register(path, observer, false, true);
}

int InotifyWatchProperty::WatchPath(std::string path, Observer* observer) { return Register(path, observer, true); }

int InotifyWatchProperty::Register(const std::string& path, Observer* observer, bool fileMayBeMissing) {
  return Register(path, observer, fileMayBeMissing, false);
}

int InotifyWatchProperty::Register(const std::string& path, Observer* observer, bool fileMayBeMissing,
                                   bool untilIdle) {
  if (observer == nullptr) {
    ZuLogPrint(ZU_LOG_ERROR, nullptr, "Remove callback fail: observer nullptr!");
    return -1;
  }
  std::lock_guard<std::mutex> lock(mMutex);
  ReopenAfterRelease();
  const int wd = AddWatch(path, fileMayBeMissing);
  if (wd == kNoWatch) {
    ZuLogPrint(ZU_LOG_ERROR, nullptr, "Remove callback fail: invalid wd!");
    return -1;
  }
  if (More().observers.Add(wd, path, observer, untilIdle)) Wake();  // the reader starts counting the idle time
  return 0;
}

void InotifyWatchProperty::ReopenAfterRelease() {
  if (mInotifyFd >= 0 || mStopFd < 0) return;  // open, or never opened (failed Init, forked child)
  mInotifyFd = inotify_init1(IN_CLOEXEC);
  if (mInotifyFd < 0) ZuLogPrint(ZU_LOG_ERROR, nullptr, "inotify_init error!");
  Wake();  // the reader waits on the new descriptor
}

void InotifyWatchProperty::Wake() {
  const uint64_t one = 1;
  const ssize_t written = write(mStopFd, &one, sizeof(one));
  (void)written;  // an eventfd write fails only when its counter is full, which wakes it too
}

bool InotifyWatchProperty::ForgetRelease(const std::string& path, Observer* observer) {
  return More().observers.ForgetRelease(path, observer);
}

int InotifyWatchProperty::IdleTimeoutMs() const {
  return mInotifyFd >= 0 && More().observers.AllReleasable() ? kIdleReleaseMs : -1;
}

void InotifyWatchProperty::ReleaseIfIdle() {
  // Held first, as a dispatch does: a RemoveCallback that finds the
  // observer released still waits until it has been told.
  std::lock_guard<std::mutex> dispatch(mDispatchMutex);
  std::vector<ObserverRegistry::Registration> told;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    if (IdleTimeoutMs() < 0) return;
    close(mInotifyFd);  // ends every watch
    mInotifyFd = -1;
    Extras& more = More();
    told = more.observers.ReleaseAll();
    more.table.Clear();
  }
  mDispatchingThread.store(std::this_thread::get_id());
  for (const auto& released : told) released.second->UpdateInotify();
  mDispatchingThread.store(std::thread::id());
}

bool InotifyWatchProperty::IsObserving(const std::string& path, Observer* observer) {
  std::lock_guard<std::mutex> lock(mMutex);
  const auto entry = FindWatch(path);
  return entry != mWatchList.end() && More().observers.Has(entry->wd, observer);
}

int InotifyWatchProperty::RemoveCallback(std::string path, Observer* observer) {
  bool dispatchMayHoldIt = false;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    // A removal from inside an observer cannot wait for the dispatch it is
    // part of.
    const bool released = ForgetRelease(path, observer);
    dispatchMayHoldIt = (released || Unregister(path, observer)) && mStopFd >= 0 &&
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
  bool lastOne = false;
  if (!More().observers.Remove(entry->wd, path, observer, lastOne)) return false;
  if (lastOne) RemoveWatchPropertyFile(path);
  return true;
}

bool InotifyWatchProperty::IsObserving(int32_t wd, Observer* observer) {
  std::lock_guard<std::mutex> lock(mMutex);
  return More().observers.Has(wd, observer);
}

void InotifyWatchProperty::NotifyObservers(int32_t wd) {
  std::lock_guard<std::mutex> dispatch(mDispatchMutex);
  std::list<Observer*> observers;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    observers = More().observers.ObserversOf(wd);
  }
  if (observers.empty()) return;
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
  return More().table.SharesWatch(wd, except);
}

bool InotifyWatchProperty::SharesDirectory(int32_t dirWd, const WdName& except) const {
  return More().table.SharesDirectory(dirWd, except);
}

void InotifyWatchProperty::MoveObservers(int32_t from, int32_t to) { More().observers.Move(from, to); }

int InotifyWatchProperty::WatchDirectory(const std::string& path) { return More().table.WatchDirectory(path); }

bool InotifyWatchProperty::ArmCreates(const WdName& entry) { return More().table.ArmCreates(entry); }

bool InotifyWatchProperty::IsArmed(int32_t dirWd) const { return More().table.IsArmed(dirWd); }

void InotifyWatchProperty::DisarmCreates() { More().table.DisarmCreates(); }

void InotifyWatchProperty::FollowDirectory(WdName& entry) { More().table.FollowDirectory(entry); }

bool InotifyWatchProperty::FollowFile(WdName& entry) { return FollowFile(entry, {}); }

bool InotifyWatchProperty::FollowFile(WdName& entry, const std::vector<int32_t>& gone) {
  return More().table.FollowFile(entry, gone);
}

int InotifyWatchProperty::ModifyWatchPropertyFile() {
  LookAgain(true, {});
  return 0;
}

void InotifyWatchProperty::LookAgain(bool directoriesMoved, const std::vector<int32_t>& gone) {
  for (int32_t wd : MovedPaths(directoriesMoved, gone)) NotifyObservers(wd);
}

std::vector<int32_t> InotifyWatchProperty::MovedPaths(bool directoriesMoved, const std::vector<int32_t>& gone) {
  std::lock_guard<std::mutex> lock(mMutex);
  return More().table.LookAgain(directoriesMoved, gone);
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
    pollfd waiting[] = {{-1, POLLIN, 0}, {mStopFd, POLLIN, 0}};
    int timeoutMs = -1;
    {
      std::lock_guard<std::mutex> lock(mMutex);
      waiting[0].fd = mInotifyFd;
      timeoutMs = IdleTimeoutMs();
    }
    const int ready = poll(waiting, 2, timeoutMs);
    if (ready == 0) ReleaseIfIdle();
    if (ready <= 0) continue;
    if ((waiting[1].revents & POLLIN) != 0) {
      uint64_t wakes = 0;
      const ssize_t drained = read(mStopFd, &wakes, sizeof(wakes));
      (void)drained;
    }
    if ((waiting[0].revents & POLLIN) == 0) continue;
    // Only this thread closes the descriptor (in ReleaseIfIdle).
    const ssize_t length = read(waiting[0].fd, buffer, sizeof(buffer));
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

bool InotifyWatchProperty::ConcernsWatchedPath(const inotify_event& event) {
  std::lock_guard<std::mutex> lock(mMutex);
  return More().table.Concerns(event.wd, event.len == 0 ? nullptr : event.name);
}

void InotifyWatchProperty::NotifyEveryPath() {
  std::vector<int32_t> keys;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    keys = More().observers.Keys();
  }
  for (int32_t key : keys) SendMessage(Message(0, key));
}

// Events of the watched files go through the loop, one message each; those
// of their directories make the watcher look again, once per batch, and the
// paths that moved go through the loop too.
void InotifyWatchProperty::DispatchEvents(const char* buffer, size_t length) {
  const InotifyDecision decision = InotifyEventDecoder::Decode(
      buffer, length, [this](int32_t wd, const char* name) {
        std::lock_guard<std::mutex> lock(mMutex);
        return More().table.Concerns(wd, name);
      });
  for (int32_t wd : decision.reread) {
    ZuLogPrint(ZU_LOG_INFO, nullptr, "wd =%2d;", wd);
    SendMessage(Message(0, wd));
  }
  if (decision.lookAgain) {
    for (int32_t key : MovedPaths(decision.directoriesMoved, decision.gone)) SendMessage(Message(0, key));
  }
  if (decision.overflowed) NotifyEveryPath();
}
