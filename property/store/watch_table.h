// WatchTable: which inotify watch stands for which watched path, and for
// which directory level of it.
//
// Each watched path (WdName) has the watch of its file, or a key below -1
// while the file is missing, and the watch of its directory, or -1 while
// that is missing (the path then waits in Ancestors). The table asks the
// kernel for those watches, follows a path to the file it names now, and
// keeps a directory's watch asking for creates only while a path in it has
// no file. It knows nothing of observers: when a path comes to name another
// file, it hands the move to the watcher through the MoveFn.
//
// The list, the count, the next missing key and the descriptor are the
// watcher's members, referred to here; the table and they are guarded by
// the watcher's mMutex, which every caller holds.
#ifndef PROPERTY_STORE_WATCH_TABLE_H_
#define PROPERTY_STORE_WATCH_TABLE_H_

#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "property/store/ancestors.h"
#include "property/store/inotify_watch_property.h"

class WatchTable {
 public:
  // Called with `context` when the observers of watch (or key) `from` must
  // follow to `to`.
  using MoveFn = void (*)(void* context, int32_t from, int32_t to);

  WatchTable(int32_t& fd, std::list<WdName>& entries, int32_t& nextMissingKey, int64_t& count, MoveFn moved,
             void* context);
  // Moved only while the watcher puts it in place; never copied.
  WatchTable(WatchTable&&) = default;
  WatchTable(const WatchTable&) = delete;
  WatchTable& operator=(const WatchTable&) = delete;

  std::list<WdName>::iterator Find(const std::string& path);
  // Watches `path` (or finds it watched); returns its watch or key, -1 when
  // the table is full or the path cannot be watched (its file missing,
  // unless `fileMayBeMissing`). Logs refusals.
  int Add(const std::string& path, bool fileMayBeMissing);
  // Stops watching `path` and the watches only it used; returns its watch
  // or key, 0 (logged) when it was not watched.
  int Remove(const std::string& path);
  // Forgets every path, once the descriptor is closed (which ended every
  // watch).
  void Clear();

  // Asks the kernel again for the file of every path, and for its directory
  // when `directoriesMoved` or it has none; returns the watches (or keys)
  // whose path now names another file or none, once each. `gone` are
  // watches the kernel has ended already.
  std::vector<int32_t> LookAgain(bool directoriesMoved, const std::vector<int32_t>& gone);
  // Watches the directory the entry's path is in now; -1 once it is gone,
  // and the nearest existing directory above it waits for it.
  void FollowDirectory(WdName& entry);
  // Moves the entry to the file its path names now; true when that is
  // another file or none.
  bool FollowFile(WdName& entry, const std::vector<int32_t>& gone);
  // True when an event of directory watch `wd` about `name` (null: the
  // directory itself) concerns a watched or waiting path.
  bool Concerns(int32_t wd, const char* name) const;

  // Watches the directory of `path` for what can replace or remove a file,
  // keeping the creates the watch may already ask for; returns it or -1.
  int WatchDirectory(const std::string& path);
  // Makes the entry's directory watch ask for creates too; true when it did
  // not before.
  bool ArmCreates(const WdName& entry);
  bool IsArmed(int32_t dirWd) const;
  // Stops the creates of every directory whose watched paths all name a file.
  void DisarmCreates();
  // True when an entry other than `except` is in directory `dirWd`.
  bool SharesDirectory(int32_t dirWd, const WdName& except) const;
  // True when an entry other than `except` uses `wd`.
  bool SharesWatch(int32_t wd, const WdName& except) const;

 private:
  // An ancestor's watch that no path waits in any more goes, unless it is
  // also a watched path's directory: then only its creates go, once the
  // table disarms them.
  void LetGoOfAncestor(int32_t wd);

  int32_t& mFd;
  std::list<WdName>& mEntries;
  int32_t& mNextMissingKey;  // counts down
  int64_t& mCount;
  MoveFn mMoved;
  void* mContext;
  std::vector<int32_t> mCreatesArmed;  // directory watches that ask for creates
  Ancestors mAncestors;                // of the paths whose directory is missing
};

#endif  // PROPERTY_STORE_WATCH_TABLE_H_
