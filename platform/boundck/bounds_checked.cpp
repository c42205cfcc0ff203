#include "platform/boundck/bounds_checked.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

constexpr size_t kMaxSize = SIZE_MAX >> 1;

bool Overlap(const void* a, size_t aSize, const void* b, size_t bSize) {
  const auto first = reinterpret_cast<uintptr_t>(a);
  const auto second = reinterpret_cast<uintptr_t>(b);
  return first < second + bSize && second < first + aSize;
}

}  // namespace

extern "C" {

int memcpy_s(void* dest, size_t destsz, const void* src, size_t count) {
  if (dest == nullptr || destsz == 0 || destsz > kMaxSize) return EINVAL;
  if (src == nullptr || count > kMaxSize || count > destsz || Overlap(dest, count, src, count)) {
    memset(dest, 0, destsz);
    return src == nullptr ? EINVAL : ERANGE;
  }
  memcpy(dest, src, count);
  return 0;
}

int strcpy_s(char* dest, size_t destsz, const char* src) {
  if (dest == nullptr || destsz == 0 || destsz > kMaxSize) return EINVAL;
  if (src == nullptr) {
    dest[0] = '\0';
    return EINVAL;
  }
  const size_t length = strnlen(src, destsz);
  if (length == destsz || Overlap(dest, destsz, src, length + 1)) {
    dest[0] = '\0';
    return ERANGE;
  }
  memcpy(dest, src, length + 1);
  return 0;
}

}  // extern "C"
