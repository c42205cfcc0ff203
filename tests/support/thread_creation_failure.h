// Makes thread creation fail in this test program, as when the system is out
// of threads: while a ThreadCreationFailure lives, pthread_create returns
// EAGAIN without creating anything (std::thread throws std::system_error),
// after as many successes as it was told to allow.
#ifndef TESTS_SUPPORT_THREAD_CREATION_FAILURE_H_
#define TESTS_SUPPORT_THREAD_CREATION_FAILURE_H_

namespace testing_support {

class ThreadCreationFailure {
 public:
  // The first `succeeding` creations still succeed; every later one fails.
  explicit ThreadCreationFailure(int succeeding = 0);
  ~ThreadCreationFailure();
  ThreadCreationFailure(const ThreadCreationFailure&) = delete;
  ThreadCreationFailure& operator=(const ThreadCreationFailure&) = delete;
};

}  // namespace testing_support

#endif  // TESTS_SUPPORT_THREAD_CREATION_FAILURE_H_
