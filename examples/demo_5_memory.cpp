// Sealed memory regions and backtrace printing.
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "examples/demo.h"
#include "osal/memory/backtrace.h"
#include "osal/memory/memfd_region.h"
#include "platform/log/zu_log.h"

namespace {

constexpr unsigned long kSize = 4096;

void ShowSealedRegion() {
  const int fd = osal::MemfdCreateRegion("demo-frame", kSize);
  if (fd < 0) {
    printf("MemfdCreateRegion failed\n");
    return;
  }
  printf("region fd %d, valid %s, size %d\n", fd, osal::MemfdIsValid(fd) ? "yes" : "no",
         osal::MemfdGetRegionSize(fd));

  void* mapped = mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (mapped == MAP_FAILED) {
    printf("mmap failed: %s\n", strerror(errno));
    close(fd);
    return;
  }
  auto* writer = static_cast<char*>(mapped);
  strcpy(writer, "written before the seal");
  printf("seal for reading: %d\n", osal::MemfdSetProtRegion(fd, PROT_READ));

  ssize_t written = write(fd, "x", 1);
  printf("write() after the seal: %zd (%s)\n", written, strerror(errno));
  void* second = mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  printf("new writable mapping after the seal: %s\n", second == MAP_FAILED ? strerror(errno) : "made (unexpected)");
  if (second != MAP_FAILED) munmap(second, kSize);

  strcpy(writer, "written through the old mapping");
  void* reader = mmap(nullptr, kSize, PROT_READ, MAP_SHARED, fd, 0);
  if (reader != MAP_FAILED) {
    printf("a new read-only mapping reads: \"%s\"\n", static_cast<const char*>(reader));
    munmap(reader, kSize);
  }
  munmap(mapped, kSize);
  close(fd);
}

__attribute__((noinline)) int Inner() {
  const int frames = osal::PrintBacktrace(8);
  asm volatile("" ::: "memory");  // keep this frame on the stack
  return frames;
}

__attribute__((noinline)) int Outer() {
  const int frames = Inner();
  asm volatile("" ::: "memory");
  return frames;
}

void Run() {
  const int previousLevel = ZuLogGetLevel();
  ZuLogSetLevel(ZU_LOG_DEBUG);  // frame lines are debug lines
  ShowSealedRegion();
  printf("backtrace (frame lines on stderr, innermost first):\n");
  fflush(stdout);
  const int frames = Outer();
  printf("PrintBacktrace captured %d frames and logged %d lines\n", frames, frames - 1);
  ZuLogSetLevel(previousLevel);
}

const bool kRegistered = demo::Register({"5 memory regions and backtrace", &Run});

}  // namespace
