#include "tools/propctl/wake_pipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

WakePipe::WakePipe() {
  if (pipe2(mFds, O_CLOEXEC | O_NONBLOCK) != 0) {
    perror("propctl: pipe");
    abort();
  }
}

WakePipe::~WakePipe() {
  close(mFds[0]);
  close(mFds[1]);
}

void WakePipe::Signal() const { SignalWakeFd(mFds[1]); }

void WakePipe::Drain() const {
  char buffer[64];
  while (read(mFds[0], buffer, sizeof(buffer)) > 0) {
  }
}

void SignalWakeFd(int fd) {
  const int saved = errno;
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = write(fd, &byte, 1);
  errno = saved;
}
