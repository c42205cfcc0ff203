// Ancestors: where each watched path whose directory is missing waits.
//
// Such a path waits in the nearest directory above it that exists, watched
// for the name in it that leads to the path (created or moved there) and for
// its own going. Also the path helpers the watcher's parts share.
//
// Not thread-safe: the watch table that holds it is guarded by the
// watcher's mutex.
#ifndef PROPERTY_STORE_ANCESTORS_H_
#define PROPERTY_STORE_ANCESTORS_H_

#include <cstdint>
#include <string>
#include <vector>

class Ancestors {
 public:
  static constexpr int32_t kNoWatch = -1;

  // The directory of `path` ("." without a slash, "/" at the root).
  static std::string DirectoryOf(const std::string& path);
  // The last name of `path`, inside its storage.
  static const char* NameOf(const std::string& path);

  // Watches the nearest existing directory above the directory of `path`,
  // which is missing, on inotify descriptor `fd`. True when that is another
  // watch than before: the caller then looks at the path once more, since
  // what was made before the watch came is told by nothing. False, and
  // `path` has no ancestor, when the nearest existing directory cannot be
  // watched. `unused` is the watch that no path waits in any more, or
  // kNoWatch.
  bool Follow(int fd, const std::string& path, int32_t& unused);

  // Forgets the ancestor of `path`; returns its watch when no other path
  // waits there, else kNoWatch.
  int32_t Forget(const std::string& path);

  bool Has(const std::string& path) const;
  // True when a path waits in watch `wd`.
  bool Uses(int32_t wd) const;
  // True when an event of directory watch `wd` about `name` (null: the
  // directory itself) may lead to a waiting path.
  bool Concerns(int32_t wd, const char* name) const;
  void Clear() { mList.clear(); }

 private:
  struct Entry {
    std::string path;   // the watched path
    int32_t wd;         // the watch of the nearest existing directory
    std::string child;  // the name in it that leads to the path
  };

  std::vector<Entry>::const_iterator Find(const std::string& path) const;

  std::vector<Entry> mList;
};

#endif  // PROPERTY_STORE_ANCESTORS_H_
