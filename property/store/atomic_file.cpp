#include "property/store/atomic_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace {

constexpr int kMaxSymlinkHops = 8;

// Closes the descriptor it holds when it goes.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : mFd(fd) {}
  ~Descriptor() { Reset(); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  int Get() const { return mFd; }
  bool Valid() const { return mFd >= 0; }
  void Reset(int fd = -1) {
    if (mFd >= 0) close(mFd);
    mFd = fd;
  }
  // Gives up the descriptor without closing it.
  int Release() {
    const int fd = mFd;
    mFd = -1;
    return fd;
  }

 private:
  int mFd;
};

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

// File systems stamp times from the coarse clock: a file last modified
// before the coarse clock's current tick cannot be rewritten with the same
// time again.
FileIdentity IdentityOf(const struct stat& info) {
  FileIdentity identity;
  identity.exists = true;
  identity.device = info.st_dev;
  identity.inode = info.st_ino;
  identity.size = info.st_size;
  identity.modified = info.st_mtim;
  identity.trusted = Before(info.st_mtim, Now(CLOCK_REALTIME_COARSE));
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

bool LockDescriptor(int fd, int operation) {
  while (flock(fd, operation) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

// The file `path` names, opened with `flags` while its directory is locked
// with `lockOperation` (LOCK_SH or LOCK_EX). A symlink at the path is
// followed to its target, and the target's directory is the one locked.
// Members go in reverse order: the file closes first (after a rename, that
// close is what tells the old file's watchers), the directory's lock last.
struct LockedFile {
  Descriptor dir;
  Descriptor file;
  std::string dirPath;
  std::string name;
};

bool OpenLocked(const std::string& path, int flags, int lockOperation, LockedFile& locked,
                AtomicFile::Failure& failure) {
  std::string target = path;
  for (int hop = 0; hop <= kMaxSymlinkHops; ++hop) {
    SplitPath(target, locked.dirPath, locked.name);
    locked.dir.Reset(open(locked.dirPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!locked.dir.Valid()) {
      // A reader that may not open the directory still reads the file,
      // without the lock; a writer may not go without it.
      if (lockOperation != LOCK_SH) return Fail(failure, "open directory");
      locked.file.Reset(open(target.c_str(), flags | O_CLOEXEC));
      return locked.file.Valid() || Fail(failure, "open");
    }
    if (!LockDescriptor(locked.dir.Get(), lockOperation)) return Fail(failure, "lock directory");
    locked.file.Reset(openat(locked.dir.Get(), locked.name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC));
    if (locked.file.Valid()) return true;
    if (errno != ELOOP) return Fail(failure, "open");
    char link[PATH_MAX];
    const ssize_t length = readlinkat(locked.dir.Get(), locked.name.c_str(), link, sizeof(link) - 1);
    if (length < 0) return Fail(failure, "read symlink");
    link[length] = '\0';
    target = link[0] == '/' ? std::string(link) : locked.dirPath + "/" + link;
    locked.dir.Reset();  // unlocks before the target's directory is locked
  }
  return Fail(failure, "open", ELOOP);
}

// Reads to the end of a regular file, whose read comes back short only at
// its end: a file of the size expected takes one call.
bool ReadAll(int fd, off_t sizeHint, std::string& text) {
  size_t got = 0;
  text.resize(static_cast<size_t>(sizeHint) + 1);
  for (;;) {
    if (got == text.size()) text.resize(2 * text.size() + 4096);
    const size_t wanted = text.size() - got;
    const ssize_t n = read(fd, &text[got], wanted);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    got += static_cast<size_t>(n);
    if (static_cast<size_t>(n) < wanted) break;
  }
  text.resize(got);
  return true;
}

bool WriteAll(int fd, const std::string& text, off_t offset) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = pwrite(fd, text.data() + done, text.size() - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool StatRegular(int fd, struct stat& info, AtomicFile::Failure& failure) {
  if (fstat(fd, &info) != 0) return Fail(failure, "stat");
  if (!S_ISREG(info.st_mode)) return Fail(failure, "open", EINVAL);
  return true;
}

// Stamps the file with the precise time, so that its identity differs from
// any other version of the file; false when this process may not set times
// (it does not own the file).
bool StampPrecisely(int fd) {
  const timespec times[2] = {{0, UTIME_OMIT}, Now(CLOCK_REALTIME)};
  return futimens(fd, times) == 0;
}

// Flushes the new contents; `info` is the file's status after the write.
bool Finish(int fd, const struct stat& info, bool stamped, FileIdentity& written, AtomicFile::Failure& failure) {
  if (fdatasync(fd) != 0) return Fail(failure, "flush");
  written = IdentityOf(info);
  written.trusted = stamped;
  return true;
}

bool RewriteInPlace(int fd, const std::string& text, FileIdentity& written, AtomicFile::Failure& failure) {
  if (!WriteAll(fd, text, 0)) return Fail(failure, "write in place");
  if (ftruncate(fd, static_cast<off_t>(text.size())) != 0) return Fail(failure, "truncate");
  const bool stamped = StampPrecisely(fd);
  struct stat info = {};
  if (fstat(fd, &info) != 0) return Fail(failure, "stat");
  return Finish(fd, info, stamped, written, failure);
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
// (chown first: it clears set-user-ID bits).
// `now` receives the temporary's status (its size and times stay as they
// are through these changes).
bool KeepOwnerAndMode(int fd, const struct stat& old, struct stat& now, bool& inPlace, AtomicFile::Failure& failure) {
  if (fstat(fd, &now) != 0) return Fail(failure, "stat");
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
bool ReplaceByRename(LockedFile& locked, const struct stat& old, const std::string& text, FileIdentity& written,
                     bool& inPlace, AtomicFile::Failure& failure) {
  const int dir = locked.dir.Get();
  const std::string temporary = "." + locked.name + ".tmp";
  Descriptor file(CreateTemporary(dir, temporary, old.st_mode & 0777));
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
  const bool stamped = StampPrecisely(file.Get());
  struct stat info = {};
  if (!KeepOwnerAndMode(file.Get(), old, info, inPlace, failure)) return false;
  if (!Finish(file.Get(), info, stamped, written, failure)) return false;
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

}  // namespace

bool FileIdentity::Same(const FileIdentity& other) const {
  if (exists != other.exists) return false;
  if (!exists) return true;
  return device == other.device && inode == other.inode && size == other.size &&
         modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec;
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
  LockedFile locked;
  if (!OpenLocked(path, O_RDONLY, LOCK_SH, locked, failure)) return false;
  struct stat info = {};
  if (!StatRegular(locked.file.Get(), info, failure)) return false;
  identity = IdentityOf(info);
  if (!ReadAll(locked.file.Get(), info.st_size, text)) return Fail(failure, "read");
  return true;
}

bool AtomicFile::Rewrite(const std::string& path, const Rewriter& rewrite, FileIdentity& written, bool& rewrote,
                         Failure& failure) {
  rewrote = false;
  LockedFile locked;
  // Opening for writing is the permission check: only a caller that may
  // write the file replaces it.
  if (!OpenLocked(path, O_RDWR, LOCK_EX, locked, failure)) return false;
  struct stat old = {};
  if (!StatRegular(locked.file.Get(), old, failure)) return false;
  std::string current;
  if (!ReadAll(locked.file.Get(), old.st_size, current)) return Fail(failure, "read");
  const std::string text = rewrite(current);
  rewrote = true;
  bool inPlace = false;
  if (ReplaceByRename(locked, old, text, written, inPlace, failure)) return true;
  if (!inPlace) return false;
  return RewriteInPlace(locked.file.Get(), text, written, failure);
}
