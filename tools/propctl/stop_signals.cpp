#include "tools/propctl/stop_signals.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
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
  mStopFd = eventfd(0, EFD_CLOEXEC);
  if (mFd < 0 || mStopFd < 0) {
    perror(mFd < 0 ? "propctl: signalfd" : "propctl: eventfd");
    abort();
  }
}

StopSignals::~StopSignals() {
  close(mStopFd);
  close(mFd);
  pthread_sigmask(SIG_SETMASK, &mPreviousMask, nullptr);
}

void StopSignals::Wait() const {
  pollfd fds[] = {{mFd, POLLIN, 0}, {mStopFd, POLLIN, 0}};
  while (poll(fds, 2, -1) < 0 && errno == EINTR) {
  }
  if (fds[0].revents == 0) return;
  signalfd_siginfo info;
  while (read(mFd, &info, sizeof(info)) < 0 && errno == EINTR) {
  }
}

void StopSignals::Stop() const {
  const uint64_t one = 1;
  while (write(mStopFd, &one, sizeof(one)) < 0 && errno == EINTR) {
  }
}
