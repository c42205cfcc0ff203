// StopSignals: SIGINT and SIGTERM turned into an ordinary wait, so that a
// command can end cleanly instead of being killed; another thread may end
// the wait as well (Stop).
//
// The constructor blocks both signals in the calling thread, and threads
// started after it inherit the block, so the signals stay pending for the
// process until Wait() takes them from a signalfd; no handler runs on any
// thread, so none can be held back by a thread asleep in a system call. Build it before any thread starts (the library's threads
// included): a thread that started earlier would still take the signal's
// default action. The destructor restores the previous signal mask of its
// thread. One instance at a time per process.
#ifndef TOOLS_PROPCTL_STOP_SIGNALS_H_
#define TOOLS_PROPCTL_STOP_SIGNALS_H_

#include <signal.h>

class StopSignals {
 public:
  StopSignals();
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // Blocks until SIGINT or SIGTERM arrives and consumes it, or Stop() was
  // called.
  void Wait() const;
  // Ends Wait() (at once, should it start later) as a stop signal would.
  // Any thread may call it, the library's included.
  void Stop() const;

 private:
  sigset_t mPreviousMask;
  int mFd;        // the signalfd of SIGINT and SIGTERM
  int mStopFd;    // an eventfd that Stop() raises
};

#endif  // TOOLS_PROPCTL_STOP_SIGNALS_H_
