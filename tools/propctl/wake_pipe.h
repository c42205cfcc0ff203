// WakePipe: a pipe that one side makes readable to wake a thread waiting in
// poll() on the other side.
//
// Signal may be called from any thread and from a signal handler (it is one
// non-blocking write; a full pipe already means "woken"). Drain empties the
// pipe so that the next poll waits for the next Signal.
#ifndef TOOLS_PROPCTL_WAKE_PIPE_H_
#define TOOLS_PROPCTL_WAKE_PIPE_H_

class WakePipe {
 public:
  // Aborts the program when no pipe can be made.
  WakePipe();
  ~WakePipe();
  WakePipe(const WakePipe&) = delete;
  WakePipe& operator=(const WakePipe&) = delete;

  void Signal() const;
  void Drain() const;
  // The end to poll for reading.
  int ReadFd() const { return mFds[0]; }
  int WriteFd() const { return mFds[1]; }

 private:
  int mFds[2];
};

// Writes one byte to the write end `fd` of a WakePipe; async-signal-safe.
void SignalWakeFd(int fd);

#endif  // TOOLS_PROPCTL_WAKE_PIPE_H_
