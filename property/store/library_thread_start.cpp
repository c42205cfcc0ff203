#include "property/store/library_thread_start.h"

#include <pthread.h>
#include <sched.h>

LibraryThreadStart::LibraryThreadStart() {
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &mCallerMask);
}

LibraryThreadStart::~LibraryThreadStart() { pthread_sigmask(SIG_SETMASK, &mCallerMask, nullptr); }

void LibraryThreadStart::Demote(std::thread& thread) {
  int policy = SCHED_OTHER;
  sched_param param = {};
  if (pthread_getschedparam(thread.native_handle(), &policy, &param) != 0 || policy == SCHED_OTHER) return;
  param.sched_priority = 0;
  pthread_setschedparam(thread.native_handle(), SCHED_OTHER, &param);
}
