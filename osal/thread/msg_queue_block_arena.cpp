#include "osal/thread/msg_queue_block_arena.h"

#include "osal/thread/msg_queue.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <utility>

namespace osal {
namespace {

struct FreeBlock {
  FreeBlock* next;
};

constexpr size_t kChunkBytes = 64 * 1024;

pthread_mutex_t gMutex = PTHREAD_MUTEX_INITIALIZER;
FreeBlock* gFree = nullptr;  // guarded by gMutex
char* gUncarved = nullptr;   // guarded by gMutex; the rest of the newest chunk
size_t gUncarvedBytes = 0;   // guarded by gMutex

// A chunk of at least a page, so that no other memory shares its pages.
bool MapChunk() {
  const size_t bytes = std::max(kChunkBytes, static_cast<size_t>(sysconf(_SC_PAGESIZE)));
  void* chunk = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (chunk == MAP_FAILED) {
    return false;
  }
  // Without it the chunk is still usable; forks only cost more.
  (void)madvise(chunk, bytes, MADV_DONTFORK);
  gUncarved = static_cast<char*>(chunk);
  gUncarvedBytes = bytes;
  return true;
}

void* Take(size_t bytes) {
  if (gFree != nullptr) {
    return std::exchange(gFree, gFree->next);
  }
  if (gUncarvedBytes < bytes && !MapChunk()) {
    return nullptr;
  }
  gUncarvedBytes -= bytes;
  return std::exchange(gUncarved, gUncarved + bytes);
}

}  // namespace

void* MsgQueueBlockArena::Allocate(size_t bytes) {
  pthread_mutex_lock(&gMutex);
  void* block = Take(bytes);
  pthread_mutex_unlock(&gMutex);
  if (block == nullptr) {
    throw std::bad_alloc();
  }
  return block;
}

void MsgQueueBlockArena::Free(void* block) {
  pthread_mutex_lock(&gMutex);
  gFree = new (block) FreeBlock{gFree};
  pthread_mutex_unlock(&gMutex);
}

void MsgQueueBlockArena::ForgetInChild() {
  // Another thread of the parent may have held the mutex at the fork.
  gMutex = PTHREAD_MUTEX_INITIALIZER;
  gFree = nullptr;
  gUncarved = nullptr;
  gUncarvedBytes = 0;
}

void* MsgQueue::Block::operator new(size_t bytes) { return MsgQueueBlockArena::Allocate(bytes); }

void MsgQueue::Block::operator delete(void* block) { MsgQueueBlockArena::Free(block); }

}  // namespace osal
