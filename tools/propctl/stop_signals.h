// StopSignals: SIGINT and SIGTERM turned into a readable descriptor, so that
// a loop waiting in poll() can end cleanly instead of being killed.
//
// While an instance lives, either signal (delivered to any thread) makes
// Fd() readable; the destructor restores the default actions. One instance
// at a time per process.
#ifndef TOOLS_PROPCTL_STOP_SIGNALS_H_
#define TOOLS_PROPCTL_STOP_SIGNALS_H_

#include "tools/propctl/wake_pipe.h"

class StopSignals {
 public:
  StopSignals();
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  int Fd() const { return mPipe.ReadFd(); }

 private:
  WakePipe mPipe;
};

#endif  // TOOLS_PROPCTL_STOP_SIGNALS_H_
