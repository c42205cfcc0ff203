// Fault injection for the bounds-checked copy.
//
// This test program defines its own memcpy_s. The libraries call memcpy_s
// from the separate copy library, so the program's definition interposes on
// theirs: while a MemcpyFailure lives, every memcpy_s call fails without
// touching memory; otherwise the call goes on to the copy library.
#ifndef TESTS_OSAL_PARAM_MEMCPY_FAULT_H_
#define TESTS_OSAL_PARAM_MEMCPY_FAULT_H_

#include <cstddef>

namespace testing_support {

class MemcpyFailure {
 public:
  MemcpyFailure();
  ~MemcpyFailure();
  MemcpyFailure(const MemcpyFailure&) = delete;
  MemcpyFailure& operator=(const MemcpyFailure&) = delete;

  // memcpy_s calls refused since this object was made.
  size_t Refused() const;
};

}  // namespace testing_support

#endif  // TESTS_OSAL_PARAM_MEMCPY_FAULT_H_
