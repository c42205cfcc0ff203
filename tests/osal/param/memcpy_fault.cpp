#include "tests/osal/param/memcpy_fault.h"

#include <dlfcn.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

#include "platform/boundck/bounds_checked.h"

namespace {

std::atomic<bool> gFailing{false};
std::atomic<size_t> gRefused{0};

using MemcpyS = int (*)(void*, size_t, const void*, size_t);

MemcpyS RealMemcpyS() {
  static const MemcpyS real = reinterpret_cast<MemcpyS>(dlsym(RTLD_NEXT, "memcpy_s"));
  if (real == nullptr) abort();
  return real;
}

}  // namespace

namespace testing_support {

MemcpyFailure::MemcpyFailure() {
  gRefused = 0;
  gFailing = true;
}

MemcpyFailure::~MemcpyFailure() { gFailing = false; }

size_t MemcpyFailure::Refused() const { return gRefused; }

}  // namespace testing_support

// Declared with default visibility by bounds_checked.h, so the program
// exports it and the libraries' calls bind to it.
extern "C" int memcpy_s(void* dest, size_t destsz, const void* src, size_t count) {
  if (gFailing) {
    ++gRefused;
    return EINVAL;
  }
  return RealMemcpyS()(dest, destsz, src, count);
}
