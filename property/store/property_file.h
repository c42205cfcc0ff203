// PropertyFile: the key=value pairs of one text configuration file.
//
// ReadConfig parses a file into an ordered map (keys in ascending byte
// order, one entry per key, the last occurrence in the file wins);
// WriteConfig rewrites the file with every line that is not a pair kept in
// its old order, followed by all pairs of the map as "key=value" lines. The
// line rules, and which pairs Set refuses because they would not read back
// as themselves, are those of property/store/property_format.h.
//
// Several processes share a file. Every rewrite (Set, WriteConfig) runs
// under locks shared by all processes, reads the file as it is at that
// moment and replaces it atomically, or rewrites it in place through a
// journal (property/store/atomic_file.h): no process loses another's pair,
// and no reader sees a torn file, also when a writer is killed. A writer
// waits for another process at most AtomicFile::kLockWaitMs and then fails
// like any other failed write; a reader never waits for another process.
// After a Set, this object holds the pairs it just read plus the change.
// After a Set whose write failed, it keeps the pair in memory until the file
// really changes (its text differs from the text last read).
//
// Change notification: this object registers with the file watcher for the
// first path it reads (before reading it, so that no later change goes
// untold); the watcher calls UpdateInotify when that file was rewritten,
// replaced, moved or removed, which asks Get, Set and Snapshot for a
// re-check. Every Set also raises a counter in shared memory before it
// returns (property/store/change_counter.h), which every object reading that
// path compares on each call: a Get that starts after another process's Set
// returned sees it, without waiting for the watcher. A re-check reads the file and parses it only when its text
// differs from the text this object last read or wrote; it skips the read
// only where the identity (device, inode, size, modification time) proves
// the file unchanged, which coarse file times never do. While the file is
// missing or the registration has failed (the watcher refused), every call
// re-checks, and a registration is tried again once the file exists; a
// forked child, whose watcher watches nothing, re-checks on every call.
// The registration is one the watcher may drop while the process idles
// (InotifyWatchProperty::SetCallbackUntilIdle), so that an idle process
// holds no inotify instance: the watcher then tells this object once, and
// its next call registers again before it re-checks the file. An object of
// a class derived from this one registers for good. The
// destructor removes the registration.
//
// Get and Set are the whole of property_get / property_set on a given path
// (the library's process-wide object serves the two exported functions).
//
// Threads and locks: Get, Set, Store, Snapshot and UpdateInotify may be
// called from any thread, also from inside an observer of the watcher. Get,
// Store and Snapshot serialise on mMutex, which is never held while another
// process is waited for; Set and Store also take turns on mWriteMutex for
// their whole rewrite. ReadConfig, WriteConfig and Properties() take no lock:
// whoever shares one object between threads calls them under its own
// serialisation. UpdateInotify takes no lock (the re-check request is
// atomic). Lock order: mWriteMutex, then the cross-process locks, then
// mMutex; mMutex, then the watcher's mutex (registration). A fork waits until
// no thread holds either mutex of any PropertyFile (a writer waiting for
// another process holds mWriteMutex, so a fork may wait that long), so a
// child finds every object unlocked and consistent, and no lock of a rewrite
// under way is ever inherited.
#ifndef PROPERTY_STORE_PROPERTY_FILE_H_
#define PROPERTY_STORE_PROPERTY_FILE_H_

#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "property/property_export.h"
#include "property/store/atomic_file.h"
#include "property/store/change_counter.h"
#include "property/store/observer.h"
#include "property/store/property_format.h"

class PROPERTY_EXPORT PropertyFile : public Observer {
 public:
  using PropertyMap = std::map<std::string, std::string, std::less<>>;

  // Longest value Set stores and Get copies; Get's buffer holds this plus
  // the terminating NUL.
  static constexpr size_t kMaxValueLength = property_format::kMaxValueLength;

  // Empty map, no file name, no re-read requested.
  PropertyFile();
  // Removes the watcher registration made for the first path read (unless
  // Close did).
  ~PropertyFile() override;

  // Ends this object's use for good, for an object that threads may still
  // call while it goes (the library's own at exit): waits until no thread is
  // inside Get, Set, Store or Snapshot, gives back everything it holds and
  // removes its registration. From then on Get gives the default, Set and
  // Store refuse, Snapshot is empty. Call it without holding either mutex.
  void Close();

  // Requests a re-check before the next Get, Set or Snapshot. Never blocks.
  void UpdateInotify() override;

  // True for the blank and the horizontal tab only.
  bool IsSpace(char c) const;
  // True for '#' only.
  bool IsCommentChar(char c) const;
  // Removes leading and trailing blanks and tabs in place.
  void Trim(std::string& str) const;
  // True if `line` is a pair; then `key` and `value` hold its trimmed parts.
  // On false their contents are unspecified.
  bool AnalyseLine(const std::string& line, std::string& key, std::string& value) const;

  // Replaces the map with the pairs of the file at `path`. The first call
  // registers this object with the watcher for `path`; a later call for
  // that path tries again if that failed and the file exists now. Returns
  // false (logged "file open error") when the file cannot be opened; the map
  // is then empty and the file name is still set.
  bool ReadConfig(std::string path);

  // Rewrites the file at `path`: its non-pair lines in their old order, then
  // every pair of the map. Returns false when the file cannot be opened for
  // reading and writing (logged "file write error"; a missing file is never
  // created) or replaced (logged "file write error" and the failing step).
  bool WriteConfig(std::string path) const;

  // Get, Set, Store and Snapshot read the file again when given another path
  // (by its text) than the last one.
  //
  // Copies the value of `key` from the file at `path` into `value`, which
  // must hold kMaxValueLength + 1 bytes; a stored value longer than that is
  // cut, one with a NUL byte ends there. An absent or empty value gives
  // `default_value` (cut likewise; null gives ""). Reads the file on first
  // use and when a re-check finds it changed. Returns the characters copied,
  // 0 when nothing was (a null or empty key or a null buffer leaves the
  // buffer untouched).
  int Get(const char* path, const char* key, char* value, const char* default_value);

  // Stores `value` under `key`: under the cross-process lock, reads the file
  // at `path`, sets this one pair and replaces the file. Returns 0 once the
  // value is stored, also when the file could not be written (the value is
  // then kept in memory); -1 when the pair is refused: key or value null,
  // the key empty, a newline in either, a value longer than kMaxValueLength,
  // or a pair that would not read back (see above).
  int Set(const char* path, const char* key, const char* value);

  // What Store did with a pair.
  enum class StoreResult {
    kWritten,     // stored and the file rewritten
    kRefused,     // the pair was refused (the cases where Set returns -1)
    kNotWritten,  // stored in memory, but the file could not be written
  };
  // Set, telling a file that could not be written apart from success.
  StoreResult Store(const char* path, const char* key, const char* value);

  // Removes `key` from the file this object read last (through Get, Set,
  // Store or Snapshot) as Store stores a pair: the same refusals (with an
  // empty value), lock, re-read and atomic replace. Returns 0 once the file
  // holds no such pair, -1 when the key is refused, no file has been read
  // yet, or the file could not be written (the pair is then removed in
  // memory only).
  int Unset(const char* key);

  // Why Set refuses the pair (the line it logs), or null when it takes it.
  static const char* Refusal(const char* key, const char* value);

  // A copy of the pairs of the file at `path`, taken under the lock after
  // the same re-check that Get does.
  PropertyMap Snapshot(const char* path);

  // The pairs as last read or set. Not synchronised (see above).
  const PropertyMap& Properties() const { return mProperties; }

 private:
  static void BeforeFork();
  static void AfterForkInParent();
  static void AfterForkInChild();

  // Whether `path` is not the file this object last read (or it has read
  // none). mMutex held.
  bool IsAnotherFile(const char* path) const;
  // Leaves the fork handlers' list and the watcher.
  void Unlink();
  // Reads `path` unless the pairs in memory are known to be its contents.
  void Refresh(const char* path);
  // Reads mFileName again; `sameFile` when the pairs in memory are of that
  // path. A file that kept changing while it was read leaves them as they are
  // and asks for another look. mMutex held.
  bool Load(bool sameFile);
  // Registers with the watcher for the first path read; tries again for
  // that path once it exists, never in a forked child. Sets mWatching for
  // `path`.
  void TryRegister(const std::string& path);
  // Whether `path` may be registered now (the first path read, existing).
  bool MayRegister(const std::string& path);
  // Registers again when the watcher let the registration go; before a
  // re-check, so that no change after it goes untold. mMutex held.
  void KeepRegistered();
  // Replaces the pairs with those of `text`, and mKept with its other lines.
  void Parse(const std::string& text);
  // Stores the pairs of `text` in `pairs` (unless null) and appends its
  // other lines, each ended by a newline, to `kept`.
  void Split(const std::string& text, PropertyMap* pairs, std::string& kept) const;
  // `kept`, then the pairs, one "key=value" line each.
  std::string Render(const std::string& kept) const;

  // Members below are guarded by mMutex inside Get, Set, Store and Snapshot
  // (ReadConfig and WriteConfig leave that to their caller).
  PropertyMap mProperties;
  std::string mFileName;     // path of the last read; empty: never read
  std::string mWatchedPath;  // the path registered (or tried) with the watcher
  std::string mText;         // the text mProperties was parsed from
  std::string mKept;         // its lines that are not pairs
  bool mUnwritten = false;   // mProperties holds a pair the file lacks
  FileIdentity mIdentity;    // the file mProperties was read from or written to
  bool mRegistered = false;  // the watcher took the registration
  ChangeCounter mCounter;    // raised by every library writer of mFileName
  uint64_t mSeenChanges = 0; // its value when mProperties were last known right
  bool mClosed = false;      // Close has run
  bool mWatching = false;    // registered for mFileName: told of its changes
                             // (kept, not derived: Get reads it every call)
  std::mutex mMutex;
  std::mutex mWriteMutex;  // held through a Set's whole rewrite; before mMutex
  std::atomic<bool> mNeedReload{false};
  PropertyFile* mNextLive = nullptr;  // the list the fork handlers walk;
                                      // guarded by its own process-wide mutex
};

#endif  // PROPERTY_STORE_PROPERTY_FILE_H_
