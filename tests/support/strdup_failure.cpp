#include "tests/support/strdup_failure.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

std::atomic<bool> gFailStrdup{false};

}  // namespace

// The libraries' calls reach this definition first (the C library's is only
// found after the executable's); it copies with malloc, as the C library
// does, so that free releases the copy.
extern "C" __attribute__((visibility("default"))) char* strdup(const char* text) {
  if (gFailStrdup.load()) {
    return nullptr;
  }
  const size_t size = strlen(text) + 1;
  char* copy = static_cast<char*>(malloc(size));
  if (copy != nullptr) {
    memcpy(copy, text, size);
  }
  return copy;
}

namespace testing_support {

StrdupFailure::StrdupFailure() {
  gFailStrdup = true;
}

StrdupFailure::~StrdupFailure() {
  gFailStrdup = false;
}

}  // namespace testing_support
