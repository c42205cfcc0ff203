// InotifyWatchProperty: the one process-wide watcher of property files.
//
// Callers register an Observer for a file path; the watcher watches the file
// and its directory with inotify and calls UpdateInotify on every observer of
// the path when a process that had the file open for writing closes it, and
// when the path comes to name a different file or none: the file replaced
// by rename, removed, moved away or created again, its directory moved away
// or removed. Events of other names in the directory (a writer's temporary
// file) wake no observer. The directory's watch asks for creates only while
// a path in it has no file (a name that names a file comes to name another
// only by a rename or a removal, which it always asks for), so a writer
// that replaces a watched file by rename does not wake the watcher for its
// temporary. At most WD_NUM paths are watched at a time.
//
//   InotifyWatchProperty::GetInstance()->SetCallback(path, &observer);
//   ...
//   InotifyWatchProperty::GetInstance()->RemoveCallback(path, &observer);
//
// Threads: the Handler loop thread delivers every event (HandleMessage ->
// DoInotifyEvent); the reader thread blocks on the inotify
// descriptor and a wake descriptor (it wakes for an event, a registration
// that changes what it waits for, or the destructor; and once, after
// kIdleReleaseMs without an event, while every registration may be let go
// when idle: see SetCallbackUntilIdle), turns each event of a watched file into a
// Message(0, wd) sent to the loop, except the end of a watch (IN_IGNORED:
// a file replaced or removed is told through its directory), and on an
// event of a watched name in a watched directory asks the kernel again for
// the watch of every watched path, and sends a Message(0, key) for each path
// that now names another file or none. Observers are called on the reader
// thread only when it lets every registration go while idle (they are no
// longer registered, so no message could find them), and on the caller's
// thread by ModifyWatchPropertyFile and DoInotifyEvent. It asks again for the directories too (as
// ModifyWatchPropertyFile does) only when a watched directory was moved or
// removed or the queue overflowed; a path whose directory watch is gone is
// asked for at every look. The watch of the file the path named before is
// then removed, unless another watched path still names that file or the
// kernel already ended it. When the kernel's event queue overflowed, every
// observer is told.
// Both threads run under SCHED_OTHER whatever the policy of the thread that
// created the watcher; the singleton's block every signal (see
// LibraryThreadStart), so no handler of the application runs on them.
//
// A path whose file is missing is kept under a key below -1 (no kernel watch
// has such a number) in place of a watch descriptor. A path whose directory
// is missing (not made yet, moved away or removed; its observers are then
// told as for a removed file) waits in the nearest directory above it that
// exists: that directory's watch asks for creates and moves, and each
// level that appears moves the wait one level down, until the directory is
// there and watched as any other. Only when that nearest directory cannot
// be watched (no permission) is the path no longer followed, until an event
// of another watched path makes the watcher look again.
//
// Locks: mMutex guards the watch list, the observer map and the count; it is
// never held while an observer runs. mDispatchMutex is held while observers
// run (so one dispatch runs at a time) and takes mMutex only to copy the
// observer list. An observer may therefore take any lock of its own and call
// anything of the library, property_get and property_set included, also
// SetCallback and RemoveCallback; it must not call DoInotifyEvent or
// ModifyWatchPropertyFile. Lock order: mDispatchMutex, then the observers'
// locks (the property file's mutex), then the singleton's creation lock,
// then mMutex. A PropertyFile registers while holding its own mutex, which
// fits that order.
//
// Ownership: observers are stored and called, never owned. An observer
// removes itself (RemoveCallback) before it is destroyed; once
// RemoveCallback has returned, the observer is not being called and will
// not be, unless RemoveCallback ran inside an observer call, which cannot
// wait for itself.
//
// Descriptors: the inotify and stop descriptors are close-on-exec, so a
// program started by exec keeps neither; the destructor closes them whatever
// their number.
//
// Fork: a child forked from a process whose singleton exists has none of its
// threads and watches nothing (it closes its copies of the descriptors,
// leaving the parent's watches alone); when that child exits normally the
// singleton lets go of the threads instead of waiting for them. A child
// forked before the singleton was created creates its own on first use. The
// creation lock and mMutex are held across the fork, so the child finds them
// free; mDispatchMutex is not (an observer may fork), and the child, which
// never dispatches, never waits for it.
//
// Every line this class logs has a null tag.
#ifndef PROPERTY_STORE_INOTIFY_WATCH_PROPERTY_H_
#define PROPERTY_STORE_INOTIFY_WATCH_PROPERTY_H_

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "property/handler/handler.h"
#include "property/property_export.h"
#include "property/store/observer.h"

struct inotify_event;

// One watched path.
struct WdName {
  int32_t wd;         // inotify watch descriptor, or a key below -1 while the file is missing
  std::string name;   // the path as registered
  int32_t dirWd = -1; // watch descriptor of the path's directory, -1 once it is gone
};

struct InotifyWatchPropertyTable;  // holds every watcher's Extras (below)

class PROPERTY_EXPORT InotifyWatchProperty : public Handler {
 public:
  static constexpr int WD_NUM = 10;

  // The process-wide watcher, constructed on the first call (thread-safe):
  // until then the library has no thread and no inotify descriptor. It is
  // destroyed when the library is unloaded. Calls PrepareForFork first.
  static InotifyWatchProperty* GetInstance();

  // Makes the singleton's fork handlers join the library's ForkRegistry,
  // without creating it. A caller whose locks a fork handler takes (a
  // property file) calls this before it can hold any of them.
  static void PrepareForFork();

  // Starts the loop thread, then Init(); a failed Init leaves a watcher on
  // which every watch fails. Other instances than the singleton are allowed
  // (each has its own inotify descriptor and threads).
  InotifyWatchProperty();
  // Wakes and stops the reader, then the loop (pending messages are
  // handled), then removes every watch and closes the descriptors.
  ~InotifyWatchProperty() override;
  InotifyWatchProperty(const InotifyWatchProperty&) = delete;
  InotifyWatchProperty& operator=(const InotifyWatchProperty&) = delete;

  // Creates the inotify and stop descriptors (close-on-exec) and starts the
  // reader thread (the constructor calls it; a later call on a running
  // watcher does nothing). Returns 0, or -1 (logged) when either descriptor
  // cannot be created. When the thread cannot be created, std::system_error
  // propagates (from the constructor too) and the descriptors are closed.
  int Init();

  // Registers `observer` for `path`, watching the path if it is not watched
  // yet; the file must exist unless the path is watched already (through
  // WatchPath). Registering twice changes nothing (but see
  // SetCallbackUntilIdle). Returns 0,
  // or -1 when the observer is null or the path cannot be watched.
  int SetCallback(std::string path, Observer* observer);
  // SetCallback that also takes a path whose file or directory does not
  // exist yet: the observers are told when the file appears, and whenever
  // it is replaced, removed or created again (a directory that is missing
  // is waited for, see above). Returns 0, or -1 when the observer is null,
  // a part of the path is not a directory, or neither the directory nor
  // the nearest existing one above it can be watched.
  int WatchPath(std::string path, Observer* observer);

  // SetCallback for an observer that can do without news while its process
  // idles, such as a cache that looks at the file itself when it is next
  // used. When every registration is of this kind and no event came for
  // kIdleReleaseMs, the reader lets them all go: it closes the inotify
  // descriptor (which gives the instance back to the user's limit and ends
  // every watch), forgets the registrations and calls UpdateInotify once on
  // each observer let go. The observer registers again before it next
  // relies on news (IsObserving tells it); the next registration opens a new
  // descriptor. Registering an observer again with this, or with
  // SetCallback or WatchPath, gives its registration the kind asked for
  // last (so an observer that no longer needs news lets it go when idle).
  // Returns as SetCallback.
  int SetCallbackUntilIdle(std::string path, Observer* observer);
  static constexpr int kIdleReleaseMs = 500;

  // True when `observer` is registered for `path` (and not let go since).
  bool IsObserving(const std::string& path, Observer* observer);

  // Removes `observer` from `path`; the path is no longer watched once its
  // last observer is gone. A path that is not watched is only logged (it
  // never becomes watched here), unless the watcher let this registration
  // go while idle. Waits for a dispatch on another thread that may still
  // call the observer. Returns 0.
  int RemoveCallback(std::string path, Observer* observer);

  // Calls UpdateInotify on each observer of watch `wd`, in registration
  // order, with mDispatchMutex held (not mMutex). Returns 0.
  int DoInotifyEvent(int wd);

  // Asks the kernel again for the watch of every watched path and of its
  // directory; a path that now names another file (or none) takes its
  // observers to the new watch (joining those already there) or to a new
  // key below -1, the old file's watch is removed, and they are notified.
  // Returns 0.
  int ModifyWatchPropertyFile();

  // Message code 0: DoInotifyEvent(msg.mArg1), then the completion signal.
  // Other codes are ignored.
  void HandleMessage(const Message& msg) override;

 protected:
  // Returns the watch descriptor of `path` (existing or new), -1 on
  // failure (the file or its directory is missing). Caller holds mMutex.
  int CreatWatchPropertyFile(std::string path);
  // Stops watching `path` and, unless another path is in it, its directory;
  // returns its watch descriptor (or key), 0 if it was not watched. Caller
  // holds mMutex.
  int RemoveWatchPropertyFile(std::string path);

  std::thread mReaderThread;
  std::mutex mDispatchMutex;  // held while observers run; see above
  std::atomic<std::thread::id> mDispatchingThread{};  // the thread calling observers
  std::mutex mMutex;
  std::list<WdName> mWatchList;                        // guarded by mMutex
  std::map<int32_t, std::list<Observer*>> mObservers;  // guarded by mMutex
  std::atomic<bool> mStopReader{false};
  // Opened by Init and by a registration after a release, closed by the
  // reader when it lets idle registrations go; guarded by mMutex once the
  // reader runs (the reader reads from its own copy).
  int32_t mInotifyFd = 0;
  int32_t mStopFd = -1;     // eventfd that wakes the reader; written by Init
  int32_t mNextMissingKey = -2;  // guarded by mMutex; counts down
  int64_t mWatchCount = 0;  // guarded by mMutex
  // Kept for the class layout; nothing reads it since the events are
  // decoded apart (InotifyEventDecoder).
  const inotify_event* mCurrentEvent = nullptr;

 private:
  // State that came after the first packages: the watch table (over
  // mWatchList, mWatchCount, mNextMissingKey and mInotifyFd) and the
  // observer registry (over mObservers, with the until-idle registrations). It lives beside the object (in a table of the
  // library), so that the exported class keeps its size and layout; its
  // members are guarded by mMutex.
  struct Extras;
  friend struct InotifyWatchPropertyTable;
  Extras& More() const;

  static void BeforeFork();
  static void AfterForkInParent();
  static void AfterForkInChild();
  void ReadLoop();
  void DispatchEvents(const char* buffer, size_t length);
  // True when `event` of a directory watch concerns a watched path. Takes
  // mMutex.
  bool ConcernsWatchedPath(const inotify_event& event);
  // Sends Message(0, key) for every watched path. Takes mMutex.
  void NotifyEveryPath();
  void CloseDescriptors();
  // CreatWatchPropertyFile that, when `fileMayBeMissing`, keeps a path whose
  // file is missing under a new key below -1. Caller holds mMutex.
  int AddWatch(const std::string& path, bool fileMayBeMissing);
  // Registers `observer` for good (SetCallback, WatchPath) or until idle.
  int Register(const std::string& path, Observer* observer, bool fileMayBeMissing);
  int Register(const std::string& path, Observer* observer, bool fileMayBeMissing, bool untilIdle);
  // Opens the inotify descriptor again after a release. Caller holds mMutex.
  void ReopenAfterRelease();
  // Wakes the reader, which then looks at the descriptor and the idle
  // time-out again (and ends, once mStopReader is set).
  void Wake();
  // Forgets that `observer` of `path` was let go; true when it was. Caller
  // holds mMutex.
  bool ForgetRelease(const std::string& path, Observer* observer);
  // kIdleReleaseMs when every registration may be let go, else -1. Caller
  // holds mMutex.
  int IdleTimeoutMs() const;
  // Lets every registration go when all may be (reader thread, after
  // kIdleReleaseMs without an event). Takes mDispatchMutex, then mMutex.
  void ReleaseIfIdle();
  // ModifyWatchPropertyFile that asks again for a directory only when
  // `directoriesMoved` or the path has no directory watch. Takes mMutex.
  void LookAgain(bool directoriesMoved, const std::vector<int32_t>& gone);
  // LookAgain without the notifications: returns the keys whose paths
  // now name another file or none. Takes mMutex.
  std::vector<int32_t> MovedPaths(bool directoriesMoved, const std::vector<int32_t>& gone);
  std::list<WdName>::iterator FindWatch(const std::string& path);
  // Removes the registration; true if there was one. Caller holds mMutex.
  bool Unregister(const std::string& path, Observer* observer);
  // True while `observer` is registered for `wd`. Takes mMutex.
  bool IsObserving(int32_t wd, Observer* observer);
  // Moves the observers of `from` to `to`. Caller holds mMutex.
  void MoveObservers(int32_t from, int32_t to);
  // Calls the observers of `wd`; takes mDispatchMutex, then mMutex briefly.
  void NotifyObservers(int32_t wd);

  // The watch table's own work (see WatchTable, which says what each does),
  // kept as symbols of the library; each only forwards to the table. Caller
  // holds mMutex.
  void FollowDirectory(WdName& entry);
  bool FollowFile(WdName& entry, const std::vector<int32_t>& gone);
  bool FollowFile(WdName& entry);  // no watch known to be gone
  int WatchDirectory(const std::string& path);
  bool ArmCreates(const WdName& entry);
  bool IsArmed(int32_t dirWd) const;
  void DisarmCreates();
  bool SharesDirectory(int32_t dirWd, const WdName& except) const;
  bool SharesWatch(int32_t wd, const WdName& except) const;
};

#endif  // PROPERTY_STORE_INOTIFY_WATCH_PROPERTY_H_
