// PropertyFile: the key=value pairs of one text configuration file.
//
// ReadConfig parses a file into an ordered map (keys in ascending byte
// order, one entry per key, the last occurrence in the file wins);
// WriteConfig rewrites the file with every line that is not a pair kept in
// its old order, followed by all pairs of the map as "key=value" lines.
//
// Line rules: a file splits into lines at '\n' only (a '\r' stays in the
// line). A line starting with '#' is a comment; elsewhere everything from the
// first '#' on is dropped. What remains is a pair when it holds a '=': the
// key is the text before the first '=', the value the text after it, both
// trimmed of blanks and tabs (only those). An empty key makes no pair; an
// empty value is allowed.
//
//   '  p = v  # note' -> p, v      'a=b=c' -> a, b=c
//   '=5', '# x=1', 'plain text' -> not pairs
//
// Change notification: the first ReadConfig registers this object with the
// file watcher for the path it reads; the watcher calls UpdateInotify when
// that file was rewritten, which asks Get and Set for a re-read. The
// destructor removes that registration.
//
// Get and Set are the whole of property_get / property_set on a given path
// (the library's process-wide object serves the two exported functions).
//
// Threads and locks: Get, Set and UpdateInotify may be called from any
// thread; Get and Set serialise on mMutex. ReadConfig, WriteConfig and
// Properties() take no lock: whoever shares one object between threads calls
// them under its own serialisation. UpdateInotify runs on a watcher thread
// with the watcher's mutex held; it takes no lock of this object (the
// re-read request is atomic), so the watcher never waits behind a file read
// or write here. The one nesting of locks is the registration during the
// first read inside Get or Set: mMutex, then the watcher's mutex.
#ifndef PROPERTY_STORE_PROPERTY_FILE_H_
#define PROPERTY_STORE_PROPERTY_FILE_H_

#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "property/property_export.h"
#include "property/store/observer.h"

class PROPERTY_EXPORT PropertyFile : public Observer {
 public:
  using PropertyMap = std::map<std::string, std::string, std::less<>>;

  // Longest value Set stores and Get copies; Get's buffer holds this plus
  // the terminating NUL.
  static constexpr size_t kMaxValueLength = 91;

  // Empty map, no file name, no re-read requested.
  PropertyFile();
  // Removes the watcher registration made by the first ReadConfig.
  ~PropertyFile() override;

  // Requests a re-read before the next Get or Set. Never blocks.
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

  // Replaces the map with the pairs of the file at `path`; the first call
  // also registers this object with the watcher for `path`. Returns false
  // (logged "file open error") when the file cannot be opened; the map is
  // then empty and the file name is still set.
  bool ReadConfig(std::string path);

  // Rewrites the file at `path`: its non-pair lines in their old order, then
  // every pair of the map. Returns false when the file cannot be opened for
  // reading (logged "file write error"; a missing file is never created) or
  // rewritten.
  bool WriteConfig(std::string path) const;

  // Copies the value of `key` from the file at `path` into `value`, which
  // must hold kMaxValueLength + 1 bytes; a stored value longer than that is
  // cut. An absent or empty value gives `default_value` (cut likewise; null
  // gives ""). Reads the file on first use and after a change notification.
  // Returns the characters copied, 0 when nothing was (a null or empty key
  // or a null buffer leaves the buffer untouched).
  int Get(const char* path, const char* key, char* value, const char* default_value);

  // Stores `value` under `key` and rewrites the file at `path`, re-reading
  // it first when it is read for the first time or changed. Returns 0 once
  // the value is stored, also when the file could not be written; -1 when
  // key or value is null, the key is empty, either holds a newline, or the
  // value is longer than kMaxValueLength.
  int Set(const char* path, const char* key, const char* value);

  // What Store did with a pair.
  enum class StoreResult {
    kWritten,     // stored and the file rewritten
    kRefused,     // the pair was refused (the cases where Set returns -1)
    kNotWritten,  // stored in memory, but the file could not be written
  };
  // Set, telling a file that could not be written apart from success.
  StoreResult Store(const char* path, const char* key, const char* value);

  // A copy of the pairs of the file at `path`, taken under the lock after
  // the same re-read that Get does.
  PropertyMap Snapshot(const char* path);

  // The pairs as last read or set. Not synchronised (see above).
  const PropertyMap& Properties() const { return mProperties; }

 private:
  void Refresh(const char* path);

  PropertyMap mProperties;    // guarded by mMutex inside Get and Set
  std::string mFileName;      // path of the last ReadConfig; empty: never read
  std::string mWatchedPath;   // path registered with the watcher
  std::mutex mMutex;
  std::atomic<bool> mNeedReload{false};
};

#endif  // PROPERTY_STORE_PROPERTY_FILE_H_
