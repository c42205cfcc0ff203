// Where the slot blocks of every MsgQueue live: pages of their own that a
// forked child does not get.
//
// Blocks are carved from chunks mapped for this purpose and marked
// MADV_DONTFORK, so that fork() neither copies their page tables nor leaves
// the parent to fault in each page again (copy on write) while its
// producers and workers go on; however many slots the queues keep, a fork
// costs what it costs without them. A freed block goes to a free list
// shared by all queues of the process; chunks are never unmapped.
//
// Threads and locks: Allocate and Free from any thread, under the arena's
// own mutex (taken by nothing else, held for a few stores, or for the mmap
// of a chunk when the last one is used up). ForgetInChild in a forked child
// before it has other threads: the blocks of the parent are not mapped
// there, so the child starts with an empty arena. The state is trivially
// destructible, so threads that outlive the executable's statics may still
// use it.
#ifndef OSAL_THREAD_MSG_QUEUE_BLOCK_ARENA_H_
#define OSAL_THREAD_MSG_QUEUE_BLOCK_ARENA_H_

#include <cstddef>

namespace osal {

class MsgQueueBlockArena {
 public:
  // Memory for one block of `bytes`, aligned to 64. Every call asks for the
  // same size (a multiple of 64, below 64 KiB): there is one block type.
  // Throws std::bad_alloc when no chunk can be mapped.
  static void* Allocate(size_t bytes);
  // Gives back a block from Allocate.
  static void Free(void* block);
  // In a forked child: forgets the parent's chunks and free blocks.
  static void ForgetInChild();

  MsgQueueBlockArena() = delete;
};

}  // namespace osal

#endif  // OSAL_THREAD_MSG_QUEUE_BLOCK_ARENA_H_
