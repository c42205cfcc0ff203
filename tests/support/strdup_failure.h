// Makes strdup fail in this test program, as when memory runs out: while a
// StrdupFailure lives, strdup returns null without allocating. The program's
// strdup replaces the C library's for the libraries too.
#ifndef TESTS_SUPPORT_STRDUP_FAILURE_H_
#define TESTS_SUPPORT_STRDUP_FAILURE_H_

namespace testing_support {

class StrdupFailure {
 public:
  StrdupFailure();
  ~StrdupFailure();
  StrdupFailure(const StrdupFailure&) = delete;
  StrdupFailure& operator=(const StrdupFailure&) = delete;
};

}  // namespace testing_support

#endif  // TESTS_SUPPORT_STRDUP_FAILURE_H_
