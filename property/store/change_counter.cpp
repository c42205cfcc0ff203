#include "property/store/change_counter.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>

#include "property/store/descriptor.h"

namespace {

constexpr char kDirectory[] = "/dev/shm";
constexpr size_t kSize = 4096;
constexpr mode_t kOthersWrite = S_IWGRP | S_IWOTH;
// Values a writer that cannot add one gives the counter: no count reaches them.
constexpr uint64_t kFreshBit = 1ull << 63;

uint64_t Fnv1a(const std::string& text) {
  uint64_t hash = 14695981039346656037ull;
  for (const unsigned char c : text) hash = (hash ^ c) * 1099511628211ull;
  return hash;
}

std::string CounterPath(const std::string& path, dev_t device) {
  char name[96];
  snprintf(name, sizeof(name), "%s/mj-property.%jx.%016" PRIx64, kDirectory, static_cast<uintmax_t>(device),
           Fnv1a(path));
  return name;
}

bool OnTmpfs() {
  struct statfs fs = {};
  return statfs(kDirectory, &fs) == 0 && fs.f_type == TMPFS_MAGIC;
}

// Only the file's owner (and root) may write the file, and only they may
// write the counter. Where more users may write the file, each of them
// could set the counter back and keep the others from seeing a change.
bool Trusted(const struct stat& counter, const struct stat& file) {
  return S_ISREG(counter.st_mode) && counter.st_uid == file.st_uid && (counter.st_mode & kOthersWrite) == 0 &&
         (file.st_mode & kOthersWrite) == 0;
}

// Its page is reserved, and only root and this process's user can shrink it
// or give the page back: a mapping of it never faults.
bool MayMap(const struct stat& counter) {
  if (counter.st_size < static_cast<off_t>(kSize) || counter.st_blocks * 512 < static_cast<blkcnt_t>(kSize)) {
    return false;
  }
  return counter.st_uid == 0 || counter.st_uid == geteuid();
}

// Only the file's owner or root can give a counter the file's owner.
bool MayCreate(const struct stat& file) { return geteuid() == 0 || geteuid() == file.st_uid; }

// The counter at `name` when it is trusted for `file`; -1 otherwise, with
// errno ENOENT only when there is nothing at the name.
int OpenTrusted(const std::string& name, int access, const struct stat& file, struct stat& counter) {
  Descriptor fd(open(name.c_str(), access | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.Valid()) return -1;
  if (fstat(fd.Get(), &counter) != 0 || !Trusted(counter, file)) {
    errno = EEXIST;
    return -1;
  }
  return fd.Release();
}

// A counter made whole (owner, group, mode, its page reserved) before it is
// given its name; when another process named one first, that one is taken.
int Create(const std::string& name, const struct stat& file, struct stat& counter) {
  Descriptor fd(open(kDirectory, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (!fd.Valid()) return -1;
  if ((geteuid() == 0 && fchown(fd.Get(), file.st_uid, file.st_gid) != 0) ||
      fchmod(fd.Get(), file.st_mode & 0666) != 0 || fallocate(fd.Get(), 0, 0, kSize) != 0 ||
      fstat(fd.Get(), &counter) != 0) {
    return -1;
  }
  char self[64];
  snprintf(self, sizeof(self), "/proc/self/fd/%d", fd.Get());
  if (linkat(AT_FDCWD, self, AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return fd.Release();
  return errno == EEXIST ? OpenTrusted(name, O_RDWR, file, counter) : -1;
}

// The counter a writer of `file` may raise: the one at the name, or, when
// that is missing or not to be trusted and this process may make a good
// one, a new one in its place.
int OpenForWriting(const std::string& name, const struct stat& file, struct stat& counter) {
  const int fd = OpenTrusted(name, O_RDWR, file, counter);
  if (fd >= 0) return fd;
  const int error = errno;
  if (!MayCreate(file)) return -1;
  // Whatever else failed (no descriptor left, say) says nothing against the
  // counter at the name.
  if (error != ENOENT && error != EEXIST && error != EACCES && error != ELOOP) return -1;
  if (error != ENOENT && unlink(name.c_str()) != 0 && errno != ENOENT) return -1;
  return Create(name, file, counter);
}

uint64_t Mix(uint64_t x) {
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

// A value no process has given the counter before.
uint64_t FreshValue() {
  static std::atomic<uint64_t> sequence{0};
  timespec now = {};
  clock_gettime(CLOCK_REALTIME, &now);
  const uint64_t nanoseconds = static_cast<uint64_t>(now.tv_sec) * 1000000000ull + static_cast<uint64_t>(now.tv_nsec);
  return Mix((static_cast<uint64_t>(getpid()) << 40) ^ nanoseconds ^ (sequence.fetch_add(1) << 20)) | kFreshBit;
}

}  // namespace

struct ChangeCounter::State {
  int fd = -1;
  bool writable = false;
  std::string name;
  dev_t device = 0;  // the counter's
  ino_t inode = 0;
  uid_t fileOwner = 0;  // the property file's, as the counter was trusted for
  mutable uint64_t unreadable = 0;  // reads that failed; under the owner's serialisation
};

ChangeCounter::~ChangeCounter() { Detach(); }

void ChangeCounter::Detach() {
  if (mWord != nullptr) munmap(mWord, kSize);
  mWord = nullptr;
  if (mState != nullptr) close(mState->fd);
  delete mState;
  mState = nullptr;
}

bool ChangeCounter::IsNamed() const {
  struct stat named = {};
  return lstat(mState->name.c_str(), &named) == 0 && named.st_dev == mState->device && named.st_ino == mState->inode;
}

bool ChangeCounter::Attach(const std::string& path) {
  struct stat file = {};
  if (stat(path.c_str(), &file) != 0 || !S_ISREG(file.st_mode)) {
    Detach();
    return false;
  }
  if (mState != nullptr && mState->fileOwner == file.st_uid && (file.st_mode & kOthersWrite) == 0 && IsNamed()) {
    return true;
  }
  return AttachAnew(path, file);
}

bool ChangeCounter::AttachAnew(const std::string& path, const struct stat& file) {
  Detach();
  if ((file.st_mode & kOthersWrite) != 0 || !OnTmpfs()) return false;
  const bool writer = faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
  const std::string name = CounterPath(path, file.st_dev);
  struct stat counter = {};
  const int fd = writer ? OpenForWriting(name, file, counter) : OpenTrusted(name, O_RDONLY, file, counter);
  if (fd < 0) return false;
  mState = new State{fd, writer, name, counter.st_dev, counter.st_ino, file.st_uid};
  if (MayMap(counter)) {
    void* mapping = mmap(nullptr, kSize, writer ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
    if (mapping != MAP_FAILED) mWord = static_cast<std::atomic<uint64_t>*>(mapping);
  }
  return true;
}

uint64_t ChangeCounter::ReadValue() const {
  if (mState == nullptr) return 0;
  uint64_t value = 0;
  if (pread(mState->fd, &value, sizeof(value), 0) == static_cast<ssize_t>(sizeof(value))) return value;
  // Shrunk by someone who may write the file: every look finds a change
  // until a writer writes it again.
  return kFreshBit | ++mState->unreadable;
}

uint64_t ChangeCounter::Raise(const std::string& path) {
  // Whoever may have attached the counter at the name must see the raise;
  // the one this process holds may have been replaced meanwhile.
  if (mState == nullptr || !mState->writable || !IsNamed()) {
    struct stat file = {};
    if (stat(path.c_str(), &file) != 0 || !AttachAnew(path, file) || !mState->writable) return 0;
  }
  if (mWord != nullptr) return mWord->fetch_add(1, std::memory_order_acq_rel) + 1;
  const uint64_t fresh = FreshValue();
  // A write that fails found the counter shrunk: its readers then find a
  // change on every look.
  while (pwrite(mState->fd, &fresh, sizeof(fresh), 0) < 0 && errno == EINTR) {
  }
  return 0;
}
