// LibraryThreadStart: the state the library's own threads start in, whatever
// thread of the application happens to start them.
//
// The library starts its threads on first use, on the application's thread
// that makes that call: a media thread under SCHED_FIFO, say, with signals
// unblocked that the application takes on a thread of its own (with sigwait
// or a signalfd). A new thread inherits its creator's scheduling policy and
// signal mask. So:
//  - while a LibraryThreadStart lives, the calling thread blocks every
//    signal it may block, and threads started meanwhile inherit that mask:
//    no library thread runs the application's handlers or takes a signal
//    meant for the process away from the thread that waits for it. The
//    destructor restores the caller's mask (a signal that arrived meanwhile
//    is delivered then).
//  - Demote() puts a started thread under the normal time-sharing policy,
//    so a change of a property is never handled at real-time priority.
//
// Threads: one guard per thread at a time, constructed and destroyed on the
// same thread. Not copyable.
#ifndef PROPERTY_STORE_LIBRARY_THREAD_START_H_
#define PROPERTY_STORE_LIBRARY_THREAD_START_H_

#include <signal.h>

#include <thread>

class LibraryThreadStart {
 public:
  LibraryThreadStart();
  ~LibraryThreadStart();
  LibraryThreadStart(const LibraryThreadStart&) = delete;
  LibraryThreadStart& operator=(const LibraryThreadStart&) = delete;

  // Puts `thread` (started, not yet joined) under SCHED_OTHER unless it
  // runs under it already; lowering the policy needs no privilege.
  static void Demote(std::thread& thread);

 private:
  sigset_t mCallerMask;
};

#endif  // PROPERTY_STORE_LIBRARY_THREAD_START_H_
