// AtomicFile: reads and rewrites a text file that several processes share,
// so that none of them ever sees it empty or half written and no update is
// lost between them.
//
// Every rewrite runs under an exclusive flock(2) on the directory that holds
// the file (the directory is never replaced, unlike the file): it reads the
// file as it is now, lets the caller turn that text into the new one, writes
// the new text to a temporary file in the same directory, flushes it
// (fdatasync) and renames it over the file. A reader that takes no lock sees
// the whole old or the whole new file; a writer killed at any moment leaves
// one of the two. The temporary has a fixed name per file (".<name>.tmp"), so
// a dead writer's temporary is removed by the next writer instead of piling
// up. The directory itself is not flushed: after a power loss the path names
// the whole old or the whole new file.
//
// What peers rely on stays: the replacement gets the old file's mode, owner
// and group; a symlink at the path stays a symlink and its target is
// replaced; only a caller that may open the file for writing changes it. When
// the directory refuses the temporary (not writable) or the file cannot be
// replaced by rename (a mount point), or its owner cannot be kept, the file is
// rewritten in place under the same lock instead; Read takes the lock shared,
// so readers of this library never see such a rewrite half done.
//
// The old file stays open for writing until after the rename and is closed
// then: every inotify watcher of the old file gets its close-after-write and
// re-reads at once, even one that watches for nothing else.
//
// Threads: the functions keep no state and may run on any thread. The lock
// is taken on a descriptor opened for each call, so it is never shared with a
// forked child. Lock order: whatever the caller holds, then the file lock;
// the callback of Rewrite runs with the file lock held and must not wait for
// another process or take the file watcher's mutex.
#ifndef PROPERTY_STORE_ATOMIC_FILE_H_
#define PROPERTY_STORE_ATOMIC_FILE_H_

#include <sys/types.h>
#include <time.h>

#include <functional>
#include <string>

// Which file a path named when it was looked at: device, inode, size and
// modification time. A missing file has an identity of its own.
struct FileIdentity {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified = {0, 0};
  // False when a later rewrite in place could leave all four fields as they
  // are (the file was modified within the last file-system clock tick):
  // then the identity proves nothing and the file must be read again.
  bool trusted = false;

  // True when both name the same unchanged file (or both a missing one).
  bool Same(const FileIdentity& other) const;
};

class AtomicFile {
 public:
  // Why a call failed: the step (a short text such as "rename") and errno.
  struct Failure {
    const char* step = nullptr;
    int error = 0;
  };

  // Turns the current contents into the new ones.
  using Rewriter = std::function<std::string(const std::string& current)>;

  AtomicFile() = delete;

  // Identity of the file `path` names now (following symlinks); a missing
  // or unreachable file gives the missing identity.
  static FileIdentity Stat(const std::string& path);

  // Reads the whole file under the shared lock into `text` and its identity,
  // as it was before the read, into `identity`. Returns false (and the failing
  // step) when the file cannot be opened or read.
  static bool Read(const std::string& path, std::string& text, FileIdentity& identity, Failure& failure);

  // Under the exclusive lock: reads the file, calls `rewrite` with its text,
  // and replaces the file with the result. Returns true with the identity of
  // the new file in `written`; false with the failing step, the old file
  // left intact and no temporary left behind. `rewrite` is not called when
  // the file cannot be opened for reading and writing (a missing file is
  // never created); `rewrote` tells whether it was.
  static bool Rewrite(const std::string& path, const Rewriter& rewrite, FileIdentity& written, bool& rewrote,
                      Failure& failure);
};

#endif  // PROPERTY_STORE_ATOMIC_FILE_H_
