#include "property/store/change_counter.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>

namespace {

constexpr char kDirectory[] = "/dev/shm";
constexpr size_t kSize = 4096;

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

// Whoever may change the counter may also write the property file.
bool Trusted(const struct stat& counter, const struct stat& file) {
  if (!S_ISREG(counter.st_mode) || counter.st_size < static_cast<off_t>(kSize)) return false;
  if (counter.st_uid != 0 && counter.st_uid != file.st_uid && (file.st_mode & S_IWOTH) == 0 &&
      !((file.st_mode & S_IWGRP) != 0 && counter.st_gid == file.st_gid)) {
    return false;
  }
  if ((counter.st_mode & S_IWOTH) != 0 && (file.st_mode & S_IWOTH) == 0) return false;
  return (counter.st_mode & S_IWGRP) == 0 || ((file.st_mode & S_IWGRP) != 0 && counter.st_gid == file.st_gid);
}

// Creates the counter with the file's permissions; the group is the file's
// where that group may write it.
int Create(const std::string& counterPath, const struct stat& file) {
  const int fd = open(counterPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return open(counterPath.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
  const bool groupWrites = (file.st_mode & S_IWGRP) != 0;
  if ((geteuid() == 0 && fchown(fd, file.st_uid, file.st_gid) != 0) ||
      (geteuid() != 0 && groupWrites && fchown(fd, static_cast<uid_t>(-1), file.st_gid) != 0) ||
      ftruncate(fd, kSize) != 0 || fchmod(fd, file.st_mode & 0666) != 0) {
    close(fd);
    unlink(counterPath.c_str());
    return -1;
  }
  return fd;
}

}  // namespace

ChangeCounter::~ChangeCounter() { Detach(); }

void ChangeCounter::Detach() {
  if (mWord != nullptr) munmap(mWord, kSize);
  mWord = nullptr;
  mWritable = false;
}

bool ChangeCounter::Attach(const std::string& path) {
  if (mWord != nullptr) return true;
  struct stat file = {};
  if (stat(path.c_str(), &file) != 0 || !S_ISREG(file.st_mode) || !OnTmpfs()) return false;
  const bool writer = faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
  const std::string counterPath = CounterPath(path, file.st_dev);
  const int fd = writer ? Create(counterPath, file) : open(counterPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat counter = {};
  void* mapping = MAP_FAILED;
  if (fstat(fd, &counter) == 0 && Trusted(counter, file)) {
    mapping = mmap(nullptr, kSize, writer ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
  }
  close(fd);
  if (mapping == MAP_FAILED) return false;
  mWord = static_cast<std::atomic<uint64_t>*>(mapping);
  mWritable = writer;
  return true;
}

uint64_t ChangeCounter::Raise() {
  if (mWord == nullptr || !mWritable) return 0;
  return mWord->fetch_add(1, std::memory_order_acq_rel) + 1;
}
