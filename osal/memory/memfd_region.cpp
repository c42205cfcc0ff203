#include "osal/memory/memfd_region.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/log/zu_log.h"

namespace osal {
namespace {

constexpr const char* kTag = "Memoryfd";

}  // namespace

int MemfdCreateRegion(std::string name, unsigned long size) {
  const ssize_t shownSize = static_cast<ssize_t>(size);
  if (name.empty() || size == 0) {
    ZuLogPrint(ZU_LOG_ERROR, kTag, "Is memfd name: %s  empty or size: %zd less than zero?", name.c_str(),
               shownSize);
    return -1;
  }
  const int fd = static_cast<int>(syscall(SYS_memfd_create, name.c_str(), MFD_ALLOW_SEALING));
  if (fd == -1) {
    ZuLogPrint(ZU_LOG_ERROR, kTag, "%s(%s, %zd) failed: %d.", "MemfdCreateRegion", name.c_str(), shownSize,
               errno);
    return -1;
  }
  if (ftruncate(fd, static_cast<off_t>(size)) == -1) {
    ZuLogPrint(ZU_LOG_ERROR, kTag, "ftruncate(%s, %zd) failed for memfd creation: %d.", name.c_str(), shownSize,
               errno);
    close(fd);
    return -1;
  }
  return fd;
}

bool MemfdIsValid(int fd) {
  if (fd > 0 && fcntl(fd, F_GET_SEALS) != -1) return true;
  ZuLogPrint(ZU_LOG_ERROR, kTag, "Invalid memfd: %d", fd);
  return false;
}

int MemfdSetProtRegion(int fd, int prot) {
  if (prot <= 0) return -1;
  if (!MemfdIsValid(fd)) return -1;
  if ((prot & PROT_WRITE) != 0) {
    ZuLogPrint(ZU_LOG_DEBUG, kTag, "Only proceed if the fd needs to be write-protected.");
    return 0;
  }
  if (fcntl(fd, F_ADD_SEALS, F_SEAL_FUTURE_WRITE) != -1) return 0;
  const int error = errno;
  ZuLogPrint(ZU_LOG_ERROR, kTag, "%s(%d, %d): F_SEAL_FUTURE_WRITE seal failed: %d.", "MemfdSetProtRegion", fd,
             prot, error);
  // Kernels older than the future-write seal reject it this way.
  if (error == EINVAL) ZuLogPrint(ZU_LOG_ERROR, kTag, "The kernel does not support this function.");
  return -1;
}

int MemfdGetRegionSize(int fd) {
  if (!MemfdIsValid(fd)) return -1;
  struct stat status {};
  if (fstat(fd, &status) == -1) {
    ZuLogPrint(ZU_LOG_ERROR, kTag, "%s(%d): fstat failed: %d.", "MemfdGetRegionSize", fd, errno);
    return -1;
  }
  if (status.st_size > INT_MAX) {
    ZuLogPrint(ZU_LOG_ERROR, kTag, "%s(%d): size %lld does not fit an int.", "MemfdGetRegionSize", fd,
               static_cast<long long>(status.st_size));
    return -1;
  }
  return static_cast<int>(status.st_size);
}

}  // namespace osal
