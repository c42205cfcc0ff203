// ChangeCounter: a number in shared memory that every library writer of a
// property file raises after each rewrite, before its set returns, so that
// any process's next read, on any thread, sees that a change happened
// without asking the kernel: the read compares one shared word.
//
// Where it lives: a file of 4096 bytes in /dev/shm (which must be a tmpfs,
// never flash) named after the property file's device and path,
// "mj-property.<device>.<hash of the path>". The first process that may
// write the property file and reads or writes it creates it, with the property file's read and write
// permissions (and its group where that group may write), so that whoever
// may read the property file may read the counter and whoever may write it
// may raise it. Every process maps it when it first reads the file.
//
// What it is not: the only news. Changes made outside this library (an
// editor, cp, an older build) raise nothing and are still told by the file
// watcher; a counter that cannot be created or mapped, is too short, or was
// placed by a user who may not write the property file (its owner, group or
// mode would let such a user change it) is not used at all, and readers fall
// back on the watcher alone. A counter can only ever make a process read the
// file once more than it needed, never keep it from reading it.
//
// Two processes that name the file by different paths (through a symlink)
// use different counters and hear of each other through the watcher only.
//
// Threads: every call is made under the owner's serialisation (the property
// file's mutex). The mapping is inherited by a forked child and given back
// by Detach and the destructor. Not copyable.
#ifndef PROPERTY_STORE_CHANGE_COUNTER_H_
#define PROPERTY_STORE_CHANGE_COUNTER_H_

#include <atomic>
#include <cstdint>
#include <string>

class ChangeCounter {
 public:
  ChangeCounter() = default;
  ~ChangeCounter();
  ChangeCounter(const ChangeCounter&) = delete;
  ChangeCounter& operator=(const ChangeCounter&) = delete;

  // Maps the counter of the property file `path` unless one is mapped:
  // for writing, and created if missing, when this process may write the
  // file; for reading otherwise. Returns whether a counter is mapped.
  bool Attach(const std::string& path);
  // Forgets the counter (another path is read now).
  void Detach();

  // The counter's value; 0 while none is mapped.
  uint64_t Value() const { return mWord != nullptr ? mWord->load(std::memory_order_acquire) : 0; }
  // Raises the counter (mapped for writing); returns the new value, 0 when
  // there is no counter this process may raise.
  uint64_t Raise();

 private:
  std::atomic<uint64_t>* mWord = nullptr;  // in the mapping
  bool mWritable = false;
};

#endif  // PROPERTY_STORE_CHANGE_COUNTER_H_
