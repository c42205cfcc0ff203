// AtomicFile: reads and rewrites a text file that several processes share,
// so that none of them ever sees it torn, no update is lost between them, and
// no process can make another wait for long.
//
// Writers. Every rewrite holds two exclusive flock(2) locks: on the
// directory that holds the file (when the writer may open it; the directory
// is never replaced, and older builds of this library lock only it), then on
// the file itself, which is checked to still be the one the path names once
// locked. Each lock is waited for at most kLockWaitMs in all: a holder that
// is stopped, or a user who may only read the file and holds a lock, delays
// a writer by that much, and the write then fails naming the lock. Under the
// locks the writer reads the file, lets the caller turn that text into the
// new one, and:
//   - replaces the file by rename: the new text goes to a temporary
//     ".<name>.tmp" beside it, is flushed (fdatasync) and renamed over the
//     file. The temporary has a fixed name, so a dead writer's one is removed
//     by the next writer. The directory is not flushed: after a power loss
//     the path names the whole old or the whole new file;
//   - or, when the directory refuses the temporary (the writer may write the
//     file but not the directory, or may not even list it), the file cannot
//     be replaced by rename (a bind mount) or its owner cannot be kept,
//     rewrites it in place through a journal appended to it
//     (property/store/in_place_journal.h): a writer killed at any moment
//     leaves a file that the next process of this library to touch it makes
//     whole again, and readers see the old or the new text meanwhile (one
//     that knows nothing of the journal finds no line cut between the two
//     versions, only whole lines of either and comments). The
//     space the journal needs (about twice the new text's size) is taken before the
//     first byte of the old text is overwritten: when it is not there, the
//     file stays byte for byte as it was.
// What peers rely on stays: the replacement gets the old file's mode, owner
// and group; a symlink at the path stays a symlink and its target is
// replaced; only a caller that may write the file changes it. A symlink is
// followed only when root or the owner of its directory made it: one that a
// user who may write the directory put there, pointing wherever that user
// likes, makes the rewrite fail ("follow a symlink made by another user",
// EPERM) instead of rewriting its target with the caller's rights. A rewrite by
// rename opens nothing of the old file for writing, so a failed one tells no
// watcher of the file anything.
//
// Readers never wait for another process and take no lock: a file replaced
// by rename is read whole; a read that races a rewrite in place is detected
// (the text read twice differs, or the journal says so) and done again, up
// to kReadAttempts times, after which Read fails with EAGAIN and the caller
// keeps what it had. A reader that finds a journal left by a dead writer
// makes the file whole itself when it may write it and no writer holds it.
//
// Only regular files are read or written: anything else at the path (a FIFO,
// a device, a directory) is refused at once.
//
// Threads: the functions keep no state and may run on any thread. Locks are
// taken on descriptors opened for each call (close-on-exec). Lock order
// (the store's whole order: property/store/lock_order.h): whatever the
// caller holds, then the directory lock, then the file lock; the callback of
// Rewrite runs with both held and must take no lock nor wait for another
// process.
#ifndef PROPERTY_STORE_ATOMIC_FILE_H_
#define PROPERTY_STORE_ATOMIC_FILE_H_

#include <sys/types.h>
#include <time.h>

#include <functional>
#include <string>

// Which file a path named when it was looked at: device, inode, size and
// the time of its last change. A missing file has an identity of its own.
struct FileIdentity {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  // The status change time (ctime), which every write, chmod, chown and
  // utime moves to the present and which no user can set back, unlike the
  // modification time (cp -p, touch -r, rsync -t).
  timespec modified = {0, 0};
  // True only where no later rewrite can leave all four fields as they are:
  // the file system keeps sub-second times and the file last changed before
  // the current tick of its clock. On a file system with coarse times an
  // identity never proves anything, and the file must be read again.
  bool trusted = false;

  // True when both name the same unchanged file (or both a missing one).
  bool Same(const FileIdentity& other) const;
};

class AtomicFile {
 public:
  // The longest a writer waits for the locks of one rewrite, in all.
  static constexpr int kLockWaitMs = 2000;
  // How often a reader reads a file that keeps changing under it.
  static constexpr int kReadAttempts = 8;

  // Why a call failed: the step (a short text such as "rename") and errno.
  struct Failure {
    const char* step = nullptr;
    int error = 0;
  };

  // Turns the current contents into the new ones: a function of the text
  // alone (see Rewrite).
  using Rewriter = std::function<std::string(const std::string& current)>;

  AtomicFile() = delete;

  // Identity of the file `path` names now (following symlinks); a missing
  // or unreachable file gives the missing identity.
  static FileIdentity Stat(const std::string& path);

  // Reads the whole file into `text` (the contents it stands for, should a
  // rewrite in place be under way) and its identity, as it was before the
  // read, into `identity`. Returns false (and the failing step) when the
  // file cannot be opened or read, is not a regular file, or kept changing
  // while it was read (EAGAIN).
  static bool Read(const std::string& path, std::string& text, FileIdentity& identity, Failure& failure);

  // What one Rewrite did.
  enum class Outcome {
    kWritten,    // the file holds the new text
    kFailed,     // `rewrite` ran, but the file could not be replaced
    kUntouched,  // the locks were not had in time, or the caller may not
                 // write the file: `rewrite` was not called
  };
  struct RewriteResult {
    Outcome outcome = Outcome::kUntouched;
    // Unless kUntouched: the text the file stood for under the locks, and
    // the one `rewrite` made of it.
    std::string current;
    std::string text;
    FileIdentity written;  // the new file's identity, when kWritten
    Failure failure;       // the failing step, unless kWritten
  };

  // Under the locks: reads the file, calls `rewrite` with its text, and
  // replaces the file with the result. A failure leaves the old file intact
  // (or, after a failure late in a rewrite in place, the new text in its
  // journal) and no temporary behind. A missing file is never created.
  // `rewrite` runs with both locks held: it must take no lock and wait for
  // nothing; whoever keeps state of the file applies the result once the
  // call has returned and the locks are gone.
  static RewriteResult Rewrite(const std::string& path, const Rewriter& rewrite);
};

#endif  // PROPERTY_STORE_ATOMIC_FILE_H_
