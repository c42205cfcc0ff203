#include "tools/propctl/stop_signals.h"

#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

sigset_t StopSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

StopSignals::StopSignals() {
  const sigset_t set = StopSet();
  pthread_sigmask(SIG_BLOCK, &set, &mPreviousMask);
  mFd = signalfd(-1, &set, SFD_CLOEXEC);
  if (mFd < 0) {
    perror("propctl: signalfd");
    abort();
  }
}

StopSignals::~StopSignals() {
  close(mFd);
  pthread_sigmask(SIG_SETMASK, &mPreviousMask, nullptr);
}

void StopSignals::Wait() const {
  signalfd_siginfo info;
  while (read(mFd, &info, sizeof(info)) < 0 && errno == EINTR) {
  }
}
