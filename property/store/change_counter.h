// ChangeCounter: a number in shared memory that every library writer of a
// property file changes after each rewrite, before its set returns, so that
// any process's next read, on any thread, sees that a change happened
// without asking the kernel: the read compares one shared word.
//
// Where it lives: a file of 4096 bytes in /dev/shm (which must be a tmpfs,
// never flash) named after the property file's device and path,
// "mj-property.<device>.<hash of the path>". The first process that may
// write the property file and owns it (or is root) creates it whole (its
// page reserved, the property file's owner and read permissions) and only
// then gives it that name, so no process ever finds it half made.
//
// Whom it may be trusted by. A counter is used only for a property file
// that nobody but its owner (and root) may write, and only while nobody else
// may write the counter: it belongs to the file's owner and neither its
// group nor others may write it. Where more users may write the file, any
// of them could set the counter back and keep the others from seeing a
// change, so no counter is used at all. Anything else at the name (a file
// squatted by another user, a symlink, a FIFO, a counter left with the old
// owner after the property file's chown) is not used: a process that could
// create a good one removes it and creates one anew; every other process
// uses no counter. A process without a counter learns of changes from the
// file itself (its identity on every read, see property_file.h), so a get
// after another process's set still sees it: whatever is in /dev/shm can
// make reads slower, never stale.
//
// No one can crash another process through it: a process maps the counter
// only when its page is reserved and nobody but root and the process's own
// user could shrink it (it belongs to one of them); otherwise it reads the
// counter with pread, and a writer writes it with pwrite. Every open is
// non-blocking and refuses a symlink; only a regular file is kept.
//
// How it changes. A writer that maps the counter adds one to it; a writer
// that cannot writes a value no process has written before. Readers only
// ever compare it with the value they saw last, so both kinds of writers may
// share one counter.
//
// Changes made outside this library (an editor, cp, an older build) change
// nothing here and are still told by the file watcher.
//
// Two processes that name the file by different paths (through a symlink)
// use different counters and hear of each other through the watcher only.
//
// Threads: every call is made under the owner's serialisation (the property
// file's mutex). The mapping and the descriptor (close-on-exec) are
// inherited by a forked child and given back by Detach and the destructor.
// Not copyable.
#ifndef PROPERTY_STORE_CHANGE_COUNTER_H_
#define PROPERTY_STORE_CHANGE_COUNTER_H_

#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <string>

class ChangeCounter {
 public:
  ChangeCounter() = default;
  ~ChangeCounter();
  ChangeCounter(const ChangeCounter&) = delete;
  ChangeCounter& operator=(const ChangeCounter&) = delete;

  // Attaches the counter of the property file `path`, or checks that the one
  // attached is still the one at its name and still trusted for the file as
  // it is now (its owner and mode), and attaches anew when not: for
  // writing, creating or replacing it as described above, when this process
  // may write the file; for reading otherwise. Returns whether a counter is
  // attached.
  bool Attach(const std::string& path);
  // Forgets the counter (another path is read now, or none can be trusted).
  void Detach();

  // Whether a counter is attached: only then does Value tell of changes.
  bool Attached() const { return mState != nullptr; }

  // The counter's value; 0 while none is attached.
  uint64_t Value() const { return mWord != nullptr ? mWord->load(std::memory_order_acquire) : ReadValue(); }

  // Changes the counter of the property file `path`, which this process
  // has just rewritten: the one at the name now, attached anew (for writing)
  // when the one held is not. Returns the new value when it was raised by
  // one, 0 when there is no counter this process may change or it was given
  // a new value instead.
  uint64_t Raise(const std::string& path);

 private:
  struct State;

  uint64_t ReadValue() const;
  // Whether the counter held is still the one at its name.
  bool IsNamed() const;
  // Detach, then the attach of Attach for the file `path` whose status is
  // `file`.
  bool AttachAnew(const std::string& path, const struct stat& file);

  std::atomic<uint64_t>* mWord = nullptr;  // the mapping, when the counter may be mapped
  State* mState = nullptr;                 // the attached counter; null: none
};

#endif  // PROPERTY_STORE_CHANGE_COUNTER_H_
