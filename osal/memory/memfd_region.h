// Sealed shared-memory regions on Linux memory files.
//
// A region is an anonymous memory file (memfd) created with sealing allowed,
// handed around as a plain file descriptor; its size is the file's size.
// Whoever creates a region writes it through a shared writable mapping, then
// write-protects it with MemfdSetProtRegion: from then on nobody can write
// the file or make a new writable mapping of it, while mappings that were
// already writable keep working.
//
//   int fd = osal::MemfdCreateRegion("frame", 4096);
//   void* data = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
//   ... fill data ...
//   osal::MemfdSetProtRegion(fd, PROT_READ);  // readers can no longer write
//
// Ownership: the caller owns every descriptor MemfdCreateRegion returns and
// closes it; the other functions never close one.
//
// Thread safety: the functions keep no state; any thread may call them.
// Seals belong to the kernel's file, so they hold for every descriptor and
// process that refers to the region.
//
// Failures log an error line under the tag "Memoryfd" and return -1 (false).
#ifndef OSAL_MEMORY_MEMFD_REGION_H_
#define OSAL_MEMORY_MEMFD_REGION_H_

#include <string>

#include "osal/osal_export.h"

namespace osal {

// Creates a region of `size` bytes named `name` (the name only shows in
// /proc; it need not be unique). The descriptor is not close-on-exec, so a
// child process can inherit it. Returns the descriptor, or -1 when the name
// is empty, the size is 0, or the kernel refuses the file (for instance a
// name longer than 249 bytes) or its size; no descriptor is left open then.
OSAL_EXPORT int MemfdCreateRegion(std::string name, unsigned long size);

// True when `fd` is greater than 0 and the kernel reports its seals, which
// holds for every memory file (also one created without sealing allowed)
// and not for ordinary files, pipes or sockets. Logs an error line when
// false.
OSAL_EXPORT bool MemfdIsValid(int fd);

// Write-protects the region when `prot` (mmap protection bits) lacks
// PROT_WRITE: adds the future-write seal, after which write() and new
// writable mappings fail while existing writable mappings still write.
// Sealing an already sealed region succeeds again. With PROT_WRITE in
// `prot` nothing is sealed (a debug line says so) and 0 is returned.
// Returns 0 when done or nothing to do; -1 when `prot` is 0 or negative
// (silently), `fd` is not a region, or the kernel refuses the seal.
OSAL_EXPORT int MemfdSetProtRegion(int fd, int prot);

// Returns the region's size in bytes, or -1 when `fd` is not a region, its
// size cannot be read, or the size is larger than the largest int (2 GiB
// and above cannot be reported).
OSAL_EXPORT int MemfdGetRegionSize(int fd);

}  // namespace osal

#endif  // OSAL_MEMORY_MEMFD_REGION_H_
