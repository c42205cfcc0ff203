// PropertyWatch: per-key change callbacks and waits on the pairs of one
// property file, for changes made by any process.
//
//   PropertyFile store;
//   PropertyWatch watch(store, "/etc/j-config/mj-gralloc.cfg");
//   int handle = watch.Watch("debug.level", OnLevel, nullptr);
//   watch.Wait("boot.done", "1", 5000);
//   watch.Unwatch(handle);
//
// The library's process-wide object (ProcessWatch) serves property_watch,
// property_unwatch and property_wait on the store of property_get /
// property_set; other code (propctl) may make its own for another path.
//
// How a change travels: the file watcher (or a set in this process, through
// Poke) tells this object; its delivery thread asks the store for a fresh
// snapshot of the pairs, diffs it against the previous one and calls the
// callbacks of the keys that changed, found through a per-key index: the
// cost of a change grows with the keys that changed, not with the keys
// watched. Changes that land between two snapshots are coalesced, so a
// callback may miss a value that was soon replaced, but always gets the
// last one, and the values of one key arrive in the order they were
// written. A watch also hears of a change that landed just before it was
// made, when no snapshot had seen that change yet.
//
// The path need not name a file yet, nor its directory: the watch starts
// when they appear and follows the file when it is replaced, removed (its
// keys then report null) and created again, as the watcher's WatchPath
// reports those events. When the watcher cannot take the path (a part of
// it is not a directory, no permission, too many paths), Watch and Wait are
// refused and log why.
//
// Threads: the delivery thread starts with the first Watch or the first
// Wait that has to block, never before, and ends once no watch and no
// blocked Wait is left; its registration with the watcher is then one the
// watcher may let go while the process idles, so an object whose watches
// and waits have all ended costs what a plain reader of the store costs.
// The ended thread is joined by the next Watch or Wait that starts one, or
// by Stop. It runs under SCHED_OTHER with
// every signal blocked, whatever the thread that started it (see
// LibraryThreadStart). Callbacks run on it, one at a time,
// with no lock held that Watch, Unwatch, Poke or the store's Get and Set
// take: a callback may call all of those (and property_get, property_set,
// property_watch, property_unwatch), and a slow callback delays only the
// callbacks after it. A Wait from inside a callback does not block: it
// returns -1 unless satisfied at once.
//
// Locks: mMutex guards the registrations, the last snapshot and the waits;
// it is never held while a callback runs. Lock order: mMutex, then the
// store's mutex, then the watcher's mutex. The watcher calls UpdateInotify
// with its dispatch mutex held, so mMutex is never held while calling into
// the watcher's RemoveCallback.
//
// Fork: a process forked from one that loaded the library gets none of
// this: no delivery thread and no watches, also for objects made later.
// In the child Watch and Unwatch return -1, and Wait answers 0 when the key
// already holds the value and -1 at once otherwise, whatever the timeout;
// the child's own sets deliver nothing.
#ifndef PROPERTY_STORE_PROPERTY_WATCH_H_
#define PROPERTY_STORE_PROPERTY_WATCH_H_

#include <condition_variable>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "property/property_export.h"
#include "property/store/observer.h"
#include "property/store/property_file.h"

class PROPERTY_EXPORT PropertyWatch : public Observer {
 public:
  // Receives a key and its new value, null when the pair was removed.
  using ChangeFn = void (*)(const char* key, const char* value, void* cookie);

  // Watches the pairs of `path` as `store` reads them; `store` must outlive
  // this object. Starts no thread.
  PropertyWatch(PropertyFile& store, std::string path);
  // Stop().
  ~PropertyWatch() override;
  PropertyWatch(const PropertyWatch&) = delete;
  PropertyWatch& operator=(const PropertyWatch&) = delete;

  // Calls `fn` with `cookie` on the delivery thread for every change of
  // `key` (of every key when `key` is null) from now on. Returns a handle
  // > 0, or -1 when `fn` is null or `key` empty, after Stop, in a forked
  // child, or when the watcher cannot take the path or the delivery thread
  // cannot start.
  int Watch(const char* key, ChangeFn fn, void* cookie);

  // Ends the watch `handle`. Once it returns, its callback is not running
  // and will not run again; called from inside a callback it does not wait
  // for that callback (so a callback may end its own watch). Returns 0, or
  // -1 for an unknown handle.
  int Unwatch(int handle);

  // Waits until `key` holds `value` as the store's Get reads it (an empty
  // value: absent or empty), or, when `value` is null, until its value
  // differs from the one it holds at the call. Answers at once, on the
  // calling thread, when the key already holds `value`. A negative
  // `timeout_ms` waits without limit. Returns 0 when the condition held, -1
  // on time-out, for a null or empty key, and in the cases above (Stop,
  // forked child, inside a callback, the path refused as for Watch).
  int Wait(const char* key, const char* value, int timeout_ms);

  // Tells this object that this process changed the pairs (the file
  // watcher tells it of every other change). Never blocks for long.
  void Poke();
  // From the file watcher: the file changed. Same as Poke.
  void UpdateInotify() override;

  // Ends delivery: waits for a running callback, joins the delivery thread,
  // wakes every Wait (which returns -1) and removes the watcher
  // registration. Later Watch and Wait calls are refused. Must not be
  // called from inside a callback.
  void Stop();

 private:
  struct Entry {
    std::string key;  // empty: every key
    ChangeFn fn;
    void* cookie;
  };
  struct Waiter {
    std::string key;
    std::string value;   // the value waited for, or the one to leave
    bool untilDiffers;   // value is the one to leave
    uint64_t afterRound; // only snapshots of later rounds count
    bool done = false;
  };
  struct Change {
    std::string key;
    std::string value;
    bool removed;
  };

  bool OnDeliveryThread() const;
  // Registers with the watcher for good and starts the delivery thread
  // with a first snapshot, unless it runs. mMutex held.
  bool StartLocked();
  // The pairs as they are now. Delivery thread, or StartLocked.
  PropertyFile::PropertyMap TakeSnapshot();
  void DeliveryLoop();
  void Deliver(uint64_t round);
  // The changes from mLast to `now`. mMutex held.
  std::vector<Change> Diff(const PropertyFile::PropertyMap& now) const;
  // Handles to call for `key`, in registration order. mMutex held.
  void AppendHandles(const std::string& key, std::vector<int>& handles) const;
  void Call(const Change& change, int handle);
  // Marks the waits that mLast satisfies. mMutex held.
  void SettleWaiters(uint64_t round);
  // The value of `key` as the store's Get reads it.
  std::string Current(const char* key);
  int NextHandle();  // mMutex held

  PropertyFile& mStore;
  const std::string mPath;
  // Set by StartLocked under mMutex (null: never registered); joinable
  // while a thread runs or has ended unjoined.
  std::unique_ptr<std::thread> mThread;
  // Guarded by mMutex: the delivery thread serves and the watcher keeps the
  // registration for good. Set by StartLocked, cleared by the thread as it
  // ends (its last use of mMutex).
  bool mRegistered = false;

  std::mutex mMutex;
  std::condition_variable mWake;     // the delivery thread waits on it
  std::condition_variable mSettled;  // Wait and Unwatch wait on it
  // Guarded by mMutex:
  std::map<int, Entry> mEntries;  // by handle
  std::map<std::string, std::vector<int>, std::less<>> mByKey;  // handles by key
  std::vector<int> mEveryKey;     // handles that watch every key
  std::list<Waiter*> mWaiters;
  PropertyFile::PropertyMap mLast;  // the pairs as last delivered
  bool mNews = false;               // a change awaits a snapshot
  bool mStopping = false;
  uint64_t mRound = 0;              // snapshots begun
  int mCalling = 0;                 // handle whose callback runs now
  int mLastHandle = 0;
};

// Library-internal (not exported). The object behind property_watch,
// property_unwatch and property_wait:
// ProcessStore() on kPropertyConfigFile. Created on the first call and
// never destroyed (so that a set on another thread during exit can still
// poke it); its delivery thread is stopped when the library is unloaded or
// the process exits.
PropertyWatch& ProcessWatch();
// Pokes ProcessWatch() if it exists; creates nothing.
void PokeProcessWatch();

#endif  // PROPERTY_STORE_PROPERTY_WATCH_H_
