// Makes memcpy_s refuse every copy in this test program: while a
// MemcpySFailure lives, memcpy_s returns EINVAL without copying and counts
// the refusal. The libraries import memcpy_s from the separate copy library,
// so the program's definition is the one they reach.
#ifndef TESTS_SUPPORT_MEMCPY_S_FAILURE_H_
#define TESTS_SUPPORT_MEMCPY_S_FAILURE_H_

namespace testing_support {

class MemcpySFailure {
 public:
  MemcpySFailure();
  ~MemcpySFailure();
  MemcpySFailure(const MemcpySFailure&) = delete;
  MemcpySFailure& operator=(const MemcpySFailure&) = delete;

  // The copies refused while this object lives.
  int Refused() const;
};

}  // namespace testing_support

#endif  // TESTS_SUPPORT_MEMCPY_S_FAILURE_H_
