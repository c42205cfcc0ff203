// Bounds-checked copies with the C11 contract.
//
// Both functions return 0 on success and a non-zero error number on a
// constraint violation, in which case the destination is cleared where that
// is safe (zero bytes for memcpy_s, an empty string for strcpy_s) and the
// caller must treat the copy as failed. Violations: a null pointer, a zero or
// oversize (above SIZE_MAX / 2) destination size or count, a count larger
// than the destination, a source that does not fit, overlapping ranges.
//
// Thread safety: stateless; safe from any thread.
#ifndef PLATFORM_BOUNDCK_BOUNDS_CHECKED_H_
#define PLATFORM_BOUNDCK_BOUNDS_CHECKED_H_

#include <stddef.h>

#define BOUNDCK_EXPORT __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

// Copies `count` bytes from `src` to `dest`, whose capacity is `destsz`.
BOUNDCK_EXPORT int memcpy_s(void* dest, size_t destsz, const void* src, size_t count);

// Copies the NUL-terminated `src`, terminator included, into `dest`, whose
// capacity is `destsz`.
BOUNDCK_EXPORT int strcpy_s(char* dest, size_t destsz, const char* src);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // PLATFORM_BOUNDCK_BOUNDS_CHECKED_H_
