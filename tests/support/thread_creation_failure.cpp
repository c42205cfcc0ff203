#include "tests/support/thread_creation_failure.h"

#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>

namespace {

std::atomic<bool> gFailThreadCreation{false};
std::atomic<int> gSucceeding{0};  // creations that still succeed while failing

using CreateFn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

}  // namespace

// Interposes the threads library's pthread_create for the whole program,
// libraries included (the executable's definition is found first); every
// call is forwarded to the next definition (a sanitizer's or the system's)
// unless a failure is requested.
extern "C" __attribute__((visibility("default"))) int pthread_create(pthread_t* thread, const pthread_attr_t* attr,
                                                                     void* (*start)(void*), void* arg) {
  if (gFailThreadCreation.load() && gSucceeding.fetch_sub(1) <= 0) return EAGAIN;
  static const auto next = reinterpret_cast<CreateFn>(dlsym(RTLD_NEXT, "pthread_create"));
  return next(thread, attr, start, arg);
}

namespace testing_support {

ThreadCreationFailure::ThreadCreationFailure(int succeeding) {
  gSucceeding = succeeding;
  gFailThreadCreation = true;
}

ThreadCreationFailure::~ThreadCreationFailure() {
  gFailThreadCreation = false;
}

}  // namespace testing_support
