#include "property/store/atomic_file.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

#include "property/store/descriptor.h"
#include "property/store/in_place_journal.h"
#include "property/store/lock_order.h"

namespace {

constexpr int kMaxSymlinkHops = 8;

bool Fail(AtomicFile::Failure& failure, const char* step, int error = errno) {
  failure.step = step;
  failure.error = error;
  return false;
}

timespec Now(clockid_t clock) {
  timespec now = {};
  clock_gettime(clock, &now);
  return now;
}

bool Before(const timespec& a, const timespec& b) {
  return a.tv_sec != b.tv_sec ? a.tv_sec < b.tv_sec : a.tv_nsec < b.tv_nsec;
}

bool SameTime(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

// The status change time, not the modification time: any user who may write
// the file can set the latter back (cp -p, touch -r), nobody the former. A
// file system that keeps whole seconds only stamps every version of the
// second alike; one that keeps sub-second times stamps from the coarse clock,
// so a file changed before that clock's current tick cannot be changed
// again with the same time.
FileIdentity IdentityOf(const struct stat& info) {
  FileIdentity identity;
  identity.exists = true;
  identity.device = info.st_dev;
  identity.inode = info.st_ino;
  identity.size = info.st_size;
  identity.modified = info.st_ctim;
  identity.trusted = info.st_ctim.tv_nsec != 0 && Before(info.st_ctim, Now(CLOCK_REALTIME_COARSE));
  return identity;
}

void SplitPath(const std::string& path, std::string& dir, std::string& name) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    dir = ".";
    name = path;
    return;
  }
  dir = slash == 0 ? "/" : path.substr(0, slash);
  name = path.substr(slash + 1);
}

// The end of the time a writer may wait for its locks.
class Deadline {
 public:
  explicit Deadline(int ms) : mEnd(Now(CLOCK_MONOTONIC)) {
    mEnd.tv_sec += ms / 1000;
    mEnd.tv_nsec += (ms % 1000) * 1000000L;
    if (mEnd.tv_nsec >= 1000000000L) {
      mEnd.tv_sec += 1;
      mEnd.tv_nsec -= 1000000000L;
    }
  }
  bool Passed() const { return !Before(Now(CLOCK_MONOTONIC), mEnd); }

 private:
  timespec mEnd;
};

// flock(2) has no time-out: the lock is tried, and tried again after pauses
// that grow to 50 us, until the deadline. The pauses stay short: a writer
// that takes its turns back to back frees the lock for a few microseconds
// only, and a waiter must try often to find it free.
bool LockBefore(int fd, const Deadline& deadline) {
  long pauseNs = 5000;
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return false;
    if (deadline.Passed()) {
      errno = ETIMEDOUT;
      return false;
    }
    const timespec pause = {0, pauseNs};
    nanosleep(&pause, nullptr);
    pauseNs = std::min(2 * pauseNs, 50000L);
  }
}

// Reads to the end of a regular file from `offset`, whose read comes back
// short only at its end: a file of the size expected takes one call.
bool ReadAll(int fd, off_t sizeHint, std::string& text) {
  size_t got = 0;
  text.resize(static_cast<size_t>(sizeHint) + 1);
  for (;;) {
    if (got == text.size()) text.resize(2 * text.size() + 4096);
    const size_t wanted = text.size() - got;
    const ssize_t n = pread(fd, &text[got], wanted, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    got += static_cast<size_t>(n);
    if (static_cast<size_t>(n) < wanted) break;
  }
  text.resize(got);
  return true;
}

bool WriteAll(int fd, const char* data, size_t size, off_t offset) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = pwrite(fd, data + done, size - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool WriteAll(int fd, const std::string& text, off_t offset) { return WriteAll(fd, text.data(), text.size(), offset); }

bool StatRegular(int fd, struct stat& info, AtomicFile::Failure& failure) {
  if (fstat(fd, &info) != 0) return Fail(failure, "stat");
  if (!S_ISREG(info.st_mode)) return Fail(failure, "open", EINVAL);
  return true;
}

// The file a writer holds: its directory (when the writer may open it) and
// the file, both locked. Members go in reverse order: the file's lock goes
// first, the directory's last.
struct CAPABILITY("flock") LockedFile {
  Descriptor dir;
  Descriptor file;
  std::string path;  // symlinks resolved
  std::string name;
  struct stat info = {};

  // Opens the file again, by its name in the locked directory.
  int Open(int flags) const {
    flags |= O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    return dir.Valid() ? openat(dir.Get(), name.c_str(), flags) : open(path.c_str(), flags);
  }
  // True while the path still names the file `info` describes.
  bool StillNamed() const {
    struct stat now = {};
    const int found = dir.Valid() ? fstatat(dir.Get(), name.c_str(), &now, AT_SYMLINK_NOFOLLOW)
                                  : lstat(path.c_str(), &now);
    return found == 0 && now.st_dev == info.st_dev && now.st_ino == info.st_ino;
  }
  // Root may write whatever a write would not refuse anyway (a read-only
  // file system, an immutable file: the rewrite itself fails then).
  bool MayWrite() const {
    if (geteuid() == 0) return true;
    return dir.Valid() ? faccessat(dir.Get(), name.c_str(), W_OK, AT_EACCESS) == 0
                       : faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
  }
  // Gives both locks back, the file's first.
  void Unlock() RELEASE() {
    file.Reset();
    dir.Reset();
  }
};

// Opens and locks the file `locked` names before `deadline`. A writer
// without the directory's lock that waited for the file while another
// replaced it locks the file the path names now (under the directory's lock
// no writer replaces it). A symlink fails with ELOOP.
bool LockFile(const Deadline& deadline, LockedFile& locked, AtomicFile::Failure& failure) {
  for (;;) {
    locked.file.Reset(locked.Open(O_RDONLY));
    if (!locked.file.Valid()) return Fail(failure, "open");
    if (!StatRegular(locked.file.Get(), locked.info, failure)) return false;
    if (!LockBefore(locked.file.Get(), deadline)) return Fail(failure, "wait for the lock of the file");
    if (locked.dir.Valid() || locked.StillNamed()) return true;
  }
}

// Whether root or the owner of the directory `dirPath` made the symlink
// `locked` names: nobody else decides where a rewrite goes.
bool MadeByDirectoryOwner(const LockedFile& locked, const std::string& dirPath) {
  struct stat dir = {};
  struct stat link = {};
  const bool found = locked.dir.Valid()
                         ? fstat(locked.dir.Get(), &dir) == 0 &&
                               fstatat(locked.dir.Get(), locked.name.c_str(), &link, AT_SYMLINK_NOFOLLOW) == 0
                         : stat(dirPath.c_str(), &dir) == 0 && lstat(locked.path.c_str(), &link) == 0;
  return found && (link.st_uid == 0 || link.st_uid == dir.st_uid);
}

// Takes the directory's lock (when the directory may be opened), then the
// file's, before `deadline`. A symlink at the path is followed to its target,
// and the target's directory is the one locked.
bool LockForRewrite(const std::string& path, const Deadline& deadline, LockedFile& locked,
                    AtomicFile::Failure& failure) TRY_ACQUIRE(true, locked);
bool LockForRewrite(const std::string& path, const Deadline& deadline, LockedFile& locked,
                    AtomicFile::Failure& failure) {
  locked.path = path;
  for (int hop = 0; hop <= kMaxSymlinkHops; ++hop) {
    std::string dirPath;
    SplitPath(locked.path, dirPath, locked.name);
    locked.dir.Reset(open(dirPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // A writer who may not list the directory rewrites in place, under the
    // file's lock alone.
    if (!locked.dir.Valid() && errno != EACCES) return Fail(failure, "open directory");
    if (locked.dir.Valid() && !LockBefore(locked.dir.Get(), deadline)) {
      return Fail(failure, "wait for the lock of the file's directory");
    }
    if (LockFile(deadline, locked, failure)) return true;
    if (failure.error != ELOOP) return false;
    if (!MadeByDirectoryOwner(locked, dirPath)) return Fail(failure, "follow a symlink made by another user", EPERM);
    char link[PATH_MAX];
    const ssize_t length = locked.dir.Valid()
                               ? readlinkat(locked.dir.Get(), locked.name.c_str(), link, sizeof(link) - 1)
                               : readlink(locked.path.c_str(), link, sizeof(link) - 1);
    if (length < 0) return Fail(failure, "read symlink");
    link[length] = '\0';
    locked.path = link[0] == '/' ? std::string(link) : dirPath + "/" + link;
    failure = {};
    locked.dir.Reset();  // unlocks before the target's directory is locked
  }
  return Fail(failure, "open", ELOOP);
}

// Makes `writes` in order, flushes them, and cuts the file at `length`.
bool OverwriteAndCut(int fd, const std::vector<InPlaceJournal::Write>& writes, size_t length,
                     AtomicFile::Failure& failure) {
  for (const InPlaceJournal::Write& write : writes) {
    if (!WriteAll(fd, write.bytes, static_cast<off_t>(write.offset))) return Fail(failure, "write in place");
  }
  // The front is flushed before the journal is cut off: after a power loss
  // either the journal is still there or the whole new text is.
  if (!writes.empty() && fdatasync(fd) != 0) return Fail(failure, "flush");
  if (ftruncate(fd, static_cast<off_t>(length)) != 0) return Fail(failure, "truncate");
  return true;
}

// Makes the file whole again after a writer died in a rewrite in place:
// `raw` is its text, `resolved` what it stands for.
bool Recover(const LockedFile& locked, const std::string& raw, const InPlaceJournal::Resolved& resolved,
             AtomicFile::Failure& failure) REQUIRES(locked) {
  Descriptor file(locked.Open(O_RDWR));
  if (!file.Valid()) return Fail(failure, "open");
  std::vector<InPlaceJournal::Write> writes;
  if (resolved.state == InPlaceJournal::State::kRollForward) writes = InPlaceJournal::Finish(raw, resolved);
  if (!OverwriteAndCut(file.Get(), writes, resolved.text.size(), failure)) return false;
  if (fdatasync(file.Get()) != 0) return Fail(failure, "flush");
  return true;
}

// Flushes the new contents; `info` is the file's status after the write.
bool Finish(int fd, const struct stat& info, FileIdentity& written, AtomicFile::Failure& failure) {
  if (fdatasync(fd) != 0) return Fail(failure, "flush");
  written = IdentityOf(info);
  return true;
}

// The space a file system has for this process, in bytes.
bool HasRoomFor(int fd, size_t bytes) {
  struct statvfs fs = {};
  if (fstatvfs(fd, &fs) != 0) return true;  // unknown: the write itself tells
  const unsigned long long blocks = geteuid() == 0 ? fs.f_bfree : fs.f_bavail;
  return blocks * fs.f_frsize >= bytes + fs.f_frsize;
}

// Appends the journal (and flushes it), overwrites the front, truncates.
// Until the journal is whole and flushed, any failure takes the file back to
// its old length: the old text is never touched before.
bool RewriteInPlace(const LockedFile& locked, const std::string& current, const std::string& text,
                    FileIdentity& written, AtomicFile::Failure& failure) REQUIRES(locked) {
  const InPlaceJournal::Plan plan = InPlaceJournal::PlanRewrite(current, text);
  const std::string& block = plan.block;
  // Checked before the file is opened for writing: a write that cannot be
  // done tells no watcher of the file.
  if (!HasRoomFor(locked.file.Get(), block.size())) return Fail(failure, "write in place", ENOSPC);
  Descriptor file(locked.Open(O_RDWR));
  if (!file.Valid()) return Fail(failure, "open");
  const off_t oldLength = static_cast<off_t>(current.size());
  const size_t head = plan.headLength;
  // The head goes first and alone, so that a writer killed later leaves it
  // whole: it tells the next process where the old text ends.
  if (!WriteAll(file.Get(), block.data(), head, oldLength) ||
      !WriteAll(file.Get(), block.data() + head, block.size() - head, oldLength + static_cast<off_t>(head)) ||
      fdatasync(file.Get()) != 0) {
    const int error = errno;
    if (ftruncate(file.Get(), oldLength) != 0) return Fail(failure, "truncate");
    return Fail(failure, "write in place", error);
  }
  if (!OverwriteAndCut(file.Get(), plan.writes, text.size(), failure)) return false;
  struct stat info = {};
  if (fstat(file.Get(), &info) != 0) return Fail(failure, "stat");
  return Finish(file.Get(), info, written, failure);
}

// The errors that say "this directory or this file cannot be replaced by
// rename here", as opposed to a failure of the write itself.
bool CannotReplace(int error) {
  return error == EACCES || error == EPERM || error == EROFS || error == EBUSY || error == EXDEV;
}

// The temporary, created anew: a dead writer's one is removed first.
int CreateTemporary(int dir, const std::string& name, mode_t mode) {
  const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  const int fd = openat(dir, name.c_str(), flags, mode);
  if (fd >= 0 || errno != EEXIST) return fd;
  if (unlinkat(dir, name.c_str(), 0) != 0) return -1;
  return openat(dir, name.c_str(), flags, mode);
}

// Gives the temporary the old file's owner, group and mode where they differ
// (chown first: it clears set-user-ID bits). `now` is the temporary's status.
bool KeepOwnerAndMode(int fd, const struct stat& old, const struct stat& now, bool& inPlace,
                      AtomicFile::Failure& failure) {
  const bool ownerDiffers = now.st_uid != old.st_uid || now.st_gid != old.st_gid;
  if (ownerDiffers && fchown(fd, old.st_uid, old.st_gid) != 0) {
    inPlace = CannotReplace(errno);  // the owner cannot be kept
    return inPlace ? false : Fail(failure, "set owner");
  }
  if ((ownerDiffers || (now.st_mode & 07777) != (old.st_mode & 07777)) && fchmod(fd, old.st_mode & 07777) != 0) {
    return Fail(failure, "set mode");
  }
  return true;
}

// Writes the temporary, gives it the old file's owner, group and mode, and
// renames it over the old file. `inPlace` tells the caller to rewrite the old
// file itself instead; the temporary is gone in every outcome but success.
bool ReplaceByRename(const LockedFile& locked, const std::string& text, FileIdentity& written, bool& inPlace,
                     AtomicFile::Failure& failure) REQUIRES(locked) {
  const int dir = locked.dir.Get();
  const std::string temporary = "." + locked.name + ".tmp";
  Descriptor file(CreateTemporary(dir, temporary, locked.info.st_mode & 0777));
  if (!file.Valid()) {
    inPlace = CannotReplace(errno);
    return inPlace ? false : Fail(failure, "create temporary");
  }
  bool renamed = false;
  struct Cleanup {
    int dir;
    const std::string& name;
    const bool& renamed;
    ~Cleanup() {
      if (!renamed) unlinkat(dir, name.c_str(), 0);
    }
  } cleanup{dir, temporary, renamed};

  if (!WriteAll(file.Get(), text, 0)) return Fail(failure, "write temporary");
  struct stat info = {};
  if (fstat(file.Get(), &info) != 0) return Fail(failure, "stat");
  if (!KeepOwnerAndMode(file.Get(), locked.info, info, inPlace, failure)) return false;
  if (!Finish(file.Get(), info, written, failure)) return false;
  // Closed once, whatever close reports: a second close could hit a
  // descriptor another thread has just opened under the same number.
  if (close(file.Release()) != 0) return Fail(failure, "close temporary");
  if (renameat(dir, temporary.c_str(), dir, locked.name.c_str()) != 0) {
    inPlace = errno == EBUSY || errno == EXDEV;
    return inPlace ? false : Fail(failure, "rename");
  }
  renamed = true;
  return true;
}

// Reads the file whole; `info` is its status before the read.
bool ReadOnce(int fd, struct stat& info, std::string& text, AtomicFile::Failure& failure) {
  if (!StatRegular(fd, info, failure)) return false;
  return ReadAll(fd, info.st_size, text) || Fail(failure, "read");
}

// Reads the file a writer holds, whose status its lock has taken.
bool ReadLocked(const LockedFile& locked, std::string& text, AtomicFile::Failure& failure) REQUIRES(locked) {
  return ReadAll(locked.file.Get(), locked.info.st_size, text) || Fail(failure, "read");
}

// Two reads that agree, of a file that kept its size: no rewrite in place
// ran through them (one that did would have torn the first, and the second,
// made after it, would differ or would find a journal that says what the
// file stands for).
bool ReadSettled(int fd, struct stat& info, std::string& text, AtomicFile::Failure& failure) {
  std::string again;
  for (int attempt = 0; attempt < AtomicFile::kReadAttempts; ++attempt) {
    if (!ReadOnce(fd, info, text, failure)) return false;
    if (!ReadAll(fd, static_cast<off_t>(text.size()), again)) return Fail(failure, "read");
    if (again == text && static_cast<off_t>(text.size()) == info.st_size) return true;
    sched_yield();
  }
  return Fail(failure, "read", EAGAIN);
}

// A reader that finds a dead writer's journal makes the file whole, when it
// may write the file and nobody holds its locks.
void TryRecover(const std::string& path) {
  const Deadline now(0);
  LockedFile locked;
  AtomicFile::Failure failure;
  if (!LockForRewrite(path, now, locked, failure)) return;
  std::string text;
  if (locked.MayWrite() && ReadLocked(locked, text, failure)) {
    const InPlaceJournal::Resolved resolved = InPlaceJournal::Resolve(text);
    if (resolved.state != InPlaceJournal::State::kClean) Recover(locked, text, resolved, failure);
  }
  locked.Unlock();
}

// Rewrite under the locks that `locked` holds.
void RewriteLocked(const LockedFile& locked, const AtomicFile::Rewriter& rewrite, AtomicFile::RewriteResult& result)
    REQUIRES(locked) {
  // The permission check: only a caller that may write the file changes it.
  if (!locked.MayWrite()) {
    Fail(result.failure, "open");
    return;
  }
  std::string raw;
  if (!ReadLocked(locked, raw, result.failure)) return;
  InPlaceJournal::Resolved current = InPlaceJournal::Resolve(raw);
  if (current.state != InPlaceJournal::State::kClean && !Recover(locked, raw, current, result.failure)) return;
  result.current = std::move(current.text);
  result.text = rewrite(result.current);
  result.outcome = AtomicFile::Outcome::kFailed;
  bool inPlace = !locked.dir.Valid();
  if (!inPlace && ReplaceByRename(locked, result.text, result.written, inPlace, result.failure)) {
    result.outcome = AtomicFile::Outcome::kWritten;
    return;
  }
  if (inPlace && RewriteInPlace(locked, result.current, result.text, result.written, result.failure)) {
    result.outcome = AtomicFile::Outcome::kWritten;
  }
}

}  // namespace

bool FileIdentity::Same(const FileIdentity& other) const {
  if (exists != other.exists) return false;
  if (!exists) return true;
  return device == other.device && inode == other.inode && size == other.size &&
         SameTime(modified, other.modified);
}

FileIdentity AtomicFile::Stat(const std::string& path) {
  struct stat info = {};
  if (stat(path.c_str(), &info) != 0) {
    FileIdentity missing;
    missing.trusted = true;  // a file that appears has an identity of its own
    return missing;
  }
  return IdentityOf(info);
}

bool AtomicFile::Read(const std::string& path, std::string& text, FileIdentity& identity, Failure& failure) {
  // Not blocking: opening a FIFO must not wait for a writer.
  Descriptor file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!file.Valid()) return Fail(failure, "open");
  struct stat info = {};
  std::string raw;
  if (!ReadSettled(file.Get(), info, raw, failure)) return false;
  identity = IdentityOf(info);
  InPlaceJournal::Resolved resolved = InPlaceJournal::Resolve(raw);
  if (resolved.state != InPlaceJournal::State::kClean) {
    identity.trusted = false;  // the file is about to change
    TryRecover(path);
  }
  text = std::move(resolved.text);
  return true;
}

AtomicFile::RewriteResult AtomicFile::Rewrite(const std::string& path, const Rewriter& rewrite) {
  RewriteResult result;
  LockedFile locked;
  if (!LockForRewrite(path, Deadline(kLockWaitMs), locked, result.failure)) return result;
  RewriteLocked(locked, rewrite, result);
  locked.Unlock();
  return result;
}
