#include "property/store/property_watch.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <system_error>
#include <utility>

#include "platform/log/zu_log.h"
#include "property/store/fork_registry.h"
#include "property/store/inotify_watch_property.h"
#include "property/store/library_thread_start.h"
#include "property/store/process_store.h"

namespace {

constexpr char kTag[] = "MJPRPERYIES";

// Constant-initialised and trivially destroyed: read by threads that may
// outlive the other statics at exit.
std::atomic<PropertyWatch*> gProcessWatch{nullptr};

// Any child forked after the library was loaded, also of a process that
// never watched (its watcher has no threads either).
bool InForkedChild() { return ForkRegistry::InForkedChild(); }

// The value as Get copies it: up to a NUL byte, cut to the longest value.
std::string Visible(const PropertyFile::PropertyMap& pairs, const std::string& key) {
  const auto it = pairs.find(key);
  if (it == pairs.end()) return std::string();
  const std::string& value = it->second;
  // A copy: binding std::min's reference to the member would emit it as a
  // GNU unique symbol in unoptimised builds, which keeps the library loaded.
  const size_t longest = PropertyFile::kMaxValueLength;
  return value.substr(0, strnlen(value.c_str(), std::min(value.size(), longest)));
}

}  // namespace

PropertyWatch::PropertyWatch(PropertyFile& store, std::string path) : mStore(store), mPath(std::move(path)) {}

PropertyWatch::~PropertyWatch() { Stop(); }

bool PropertyWatch::OnDeliveryThread() const {
  return mThread != nullptr && mThread->get_id() == std::this_thread::get_id();
}

int PropertyWatch::NextHandle() {
  do {
    mLastHandle = mLastHandle == INT_MAX ? 1 : mLastHandle + 1;
  } while (mEntries.count(mLastHandle) > 0);
  return mLastHandle;
}

int PropertyWatch::Watch(const char* key, ChangeFn fn, void* cookie) {
  if (fn == nullptr || (key != nullptr && key[0] == '\0') || InForkedChild()) return -1;
  std::lock_guard<std::mutex> lock(mMutex);
  if (!StartLocked()) return -1;
  const int handle = NextHandle();
  const std::string name = key != nullptr ? key : "";
  mEntries.emplace(handle, Entry{name, fn, cookie});
  if (key == nullptr) {
    mEveryKey.push_back(handle);
  } else {
    auto it = mByKey.find(name);
    if (it == mByKey.end()) it = mByKey.emplace(name, std::vector<int>()).first;
    it->second.push_back(handle);
  }
  return handle;
}

int PropertyWatch::Unwatch(int handle) {
  if (InForkedChild()) return -1;
  std::unique_lock<std::mutex> lock(mMutex);
  const auto entry = mEntries.find(handle);
  if (entry == mEntries.end()) return -1;
  if (entry->second.key.empty()) {
    mEveryKey.erase(std::find(mEveryKey.begin(), mEveryKey.end(), handle));
  } else {
    const auto indexed = mByKey.find(entry->second.key);
    std::vector<int>& handles = indexed->second;
    handles.erase(std::find(handles.begin(), handles.end(), handle));
    if (handles.empty()) mByKey.erase(indexed);
  }
  mEntries.erase(entry);
  if (mEntries.empty()) mWake.notify_one();  // the thread ends when nothing is left
  if (!OnDeliveryThread()) mSettled.wait(lock, [&] { return mCalling != handle; });
  return 0;
}

std::string PropertyWatch::Current(const char* key) {
  char value[PropertyFile::kMaxValueLength + 1];
  mStore.Get(mPath.c_str(), key, value, nullptr);
  return value;
}

int PropertyWatch::Wait(const char* key, const char* value, int timeout_ms) {
  if (key == nullptr || key[0] == '\0') return -1;
  if (value != nullptr && Current(key) == value) return 0;
  if (timeout_ms == 0 || InForkedChild()) return -1;
  std::unique_lock<std::mutex> lock(mMutex);
  if (OnDeliveryThread() || !StartLocked()) return -1;
  // Read under mMutex: every snapshot already applied to mLast is older,
  // and only rounds begun after this registration are compared.
  Waiter waiter{key, value != nullptr ? value : Current(key), value == nullptr, mRound};
  mWaiters.push_back(&waiter);
  mNews = true;
  mWake.notify_one();
  const auto settled = [&] { return waiter.done || mStopping; };
  if (timeout_ms < 0) {
    mSettled.wait(lock, settled);
  } else {
    mSettled.wait_for(lock, std::chrono::milliseconds(timeout_ms), settled);
  }
  mWaiters.remove(&waiter);
  if (mWaiters.empty()) mWake.notify_one();  // the thread ends when nothing is left
  return waiter.done ? 0 : -1;
}

void PropertyWatch::Poke() {
  if (InForkedChild()) return;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    mNews = true;
  }
  mWake.notify_one();
}

void PropertyWatch::UpdateInotify() { Poke(); }

bool PropertyWatch::StartLocked() {
  if (mStopping) return false;
  if (mRegistered) return true;
  // A thread that left released mMutex for the last time before we took it.
  if (mThread != nullptr && mThread->joinable()) mThread->join();
  // Registered for good before the first snapshot, so that no later change
  // goes untold.
  if (InotifyWatchProperty::GetInstance()->WatchPath(mPath, this) != 0) {
    ZuLogPrint(ZU_LOG_ERROR, kTag, "property watch: cannot watch %s", mPath.c_str());
    return false;
  }
  mLast = TakeSnapshot();
  mNews = false;  // older news is in that snapshot
  try {
    const LibraryThreadStart quiet;
    mThread = std::make_unique<std::thread>(&PropertyWatch::DeliveryLoop, this);
    LibraryThreadStart::Demote(*mThread);
  } catch (const std::system_error& error) {
    ZuLogPrint(ZU_LOG_ERROR, kTag, "property watch: no delivery thread: %s", error.what());
    // Registered still (Stop removes it), but no longer for good.
    InotifyWatchProperty::GetInstance()->SetCallbackUntilIdle(mPath, this);
    if (mThread == nullptr) mThread = std::make_unique<std::thread>();
    return false;
  }
  mRegistered = true;
  return true;
}

PropertyFile::PropertyMap PropertyWatch::TakeSnapshot() {
  // The news that woke us may not have reached the store yet.
  mStore.UpdateInotify();
  return mStore.Snapshot(mPath.c_str());
}

void PropertyWatch::DeliveryLoop() {
  for (;;) {
    uint64_t round = 0;
    {
      std::unique_lock<std::mutex> lock(mMutex);
      mWake.wait(lock, [this] { return mNews || mStopping || (mEntries.empty() && mWaiters.empty()); });
      if (mStopping) return;
      if (mEntries.empty() && mWaiters.empty()) {
        // Nothing is left to deliver: the watcher may let this object go
        // while the process idles, and the next Watch or Wait starts anew.
        InotifyWatchProperty::GetInstance()->SetCallbackUntilIdle(mPath, this);
        mRegistered = false;
        return;
      }
      mNews = false;
      round = ++mRound;
    }
    Deliver(round);
  }
}

void PropertyWatch::Deliver(uint64_t round) {
  PropertyFile::PropertyMap now = TakeSnapshot();
  std::vector<Change> changes;
  std::vector<std::pair<size_t, int>> calls;  // change index, handle
  {
    std::lock_guard<std::mutex> lock(mMutex);
    changes = Diff(now);
    mLast = std::move(now);
    SettleWaiters(round);
    std::vector<int> handles;
    for (size_t i = 0; i < changes.size(); ++i) {
      handles.clear();
      AppendHandles(changes[i].key, handles);
      for (int handle : handles) calls.emplace_back(i, handle);
    }
  }
  for (const auto& [index, handle] : calls) Call(changes[index], handle);
}

std::vector<PropertyWatch::Change> PropertyWatch::Diff(const PropertyFile::PropertyMap& now) const {
  std::vector<Change> changes;
  auto before = mLast.begin();
  auto after = now.begin();
  // One merged walk over both sorted maps.
  while (before != mLast.end() || after != now.end()) {
    if (after == now.end() || (before != mLast.end() && before->first < after->first)) {
      changes.push_back({before->first, std::string(), true});
      ++before;
    } else if (before == mLast.end() || after->first < before->first) {
      changes.push_back({after->first, after->second, false});
      ++after;
    } else {
      if (before->second != after->second) changes.push_back({after->first, after->second, false});
      ++before;
      ++after;
    }
  }
  return changes;
}

void PropertyWatch::AppendHandles(const std::string& key, std::vector<int>& handles) const {
  const auto it = mByKey.find(key);
  if (it != mByKey.end()) handles.insert(handles.end(), it->second.begin(), it->second.end());
  handles.insert(handles.end(), mEveryKey.begin(), mEveryKey.end());
}

void PropertyWatch::Call(const Change& change, int handle) {
  ChangeFn fn = nullptr;
  void* cookie = nullptr;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    const auto entry = mEntries.find(handle);
    if (entry == mEntries.end()) return;  // unwatched since the diff
    fn = entry->second.fn;
    cookie = entry->second.cookie;
    mCalling = handle;
  }
  fn(change.key.c_str(), change.removed ? nullptr : change.value.c_str(), cookie);
  {
    std::lock_guard<std::mutex> lock(mMutex);
    mCalling = 0;
  }
  mSettled.notify_all();
}

void PropertyWatch::SettleWaiters(uint64_t round) {
  bool settled = false;
  for (Waiter* waiter : mWaiters) {
    if (waiter->done || round <= waiter->afterRound) continue;
    waiter->done = (Visible(mLast, waiter->key) == waiter->value) != waiter->untilDiffers;
    settled = settled || waiter->done;
  }
  if (settled) mSettled.notify_all();
}

void PropertyWatch::Stop() {
  if (InForkedChild()) {
    // The thread exists in the parent only: neither join nor destroy it.
    (void)mThread.release();
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mStopping) return;
    mStopping = true;
  }
  mWake.notify_all();
  mSettled.notify_all();
  if (mThread == nullptr) return;  // never registered
  if (mThread->joinable()) {
    // Only an exit from inside a callback gets here on the thread itself.
    if (OnDeliveryThread()) {
      mThread->detach();
    } else {
      mThread->join();
    }
  }
  InotifyWatchProperty::GetInstance()->RemoveCallback(mPath, this);
}

namespace {

// Stops the process-wide object's thread when the library is unloaded or
// the process exits, before the store it reads is destroyed.
struct ProcessWatchStopper {
  ~ProcessWatchStopper() {
    if (PropertyWatch* watch = gProcessWatch.load()) watch->Stop();
  }
};

}  // namespace

PropertyWatch& ProcessWatch() {
  static PropertyWatch* const watch = [] {
    auto* created = new PropertyWatch(ProcessStore(), kPropertyConfigFile);
    gProcessWatch.store(created);
    return created;
  }();
  static ProcessWatchStopper stopper;
  return *watch;
}

void PokeProcessWatch() {
  if (PropertyWatch* watch = gProcessWatch.load()) watch->Poke();
}
