#include "tests/support/memcpy_s_failure.h"

#include <dlfcn.h>

#include <atomic>
#include <cerrno>
#include <cstddef>

namespace {

std::atomic<bool> gFailMemcpy{false};
std::atomic<int> gRefusedMemcpy{0};

using MemcpySFn = int (*)(void*, size_t, const void*, size_t);

}  // namespace

// Hands every call on to the copy library's memcpy_s unless told to fail.
extern "C" __attribute__((visibility("default"))) int memcpy_s(void* dest, size_t destsz, const void* src,
                                                               size_t count) {
  if (gFailMemcpy.load()) {
    ++gRefusedMemcpy;
    return EINVAL;
  }
  static const auto next = reinterpret_cast<MemcpySFn>(dlsym(RTLD_NEXT, "memcpy_s"));
  return next(dest, destsz, src, count);
}

namespace testing_support {

MemcpySFailure::MemcpySFailure() {
  gRefusedMemcpy = 0;
  gFailMemcpy = true;
}

MemcpySFailure::~MemcpySFailure() {
  gFailMemcpy = false;
}

int MemcpySFailure::Refused() const {
  return gRefusedMemcpy.load();
}

}  // namespace testing_support
