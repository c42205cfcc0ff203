// property_get when the bounds-checked copy refuses. This executable
// provides its own strcpy_s, which the library's call reaches (the platform
// library's is only found after the executable's), and which can be told to
// fail.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstddef>

#include "property/store/property_api.h"
#include "property/store/property_file.h"
#include "tests/property/store/store_test_util.h"

namespace {

std::atomic<bool> gFailStrcpy{false};

using StrcpyFn = int (*)(char*, size_t, const char*);

}  // namespace

extern "C" __attribute__((visibility("default"))) int strcpy_s(char* dest, size_t destsz, const char* src) {
  if (gFailStrcpy.load()) return ERANGE;
  static const auto next = reinterpret_cast<StrcpyFn>(dlsym(RTLD_NEXT, "strcpy_s"));
  return next(dest, destsz, src);
}

namespace {

TEST(PropertyFileStringCopyFailure, GetReturnsZero) {
  store_test::TempDir dir;
  const std::string path = dir.File("p.cfg");
  store_test::WriteText(path, "k=value\n");
  PropertyFile file;
  char value[PROPERTY_VALUE_SIZE];
  ASSERT_EQ(file.Get(path.c_str(), "k", value, "d"), 5);
  gFailStrcpy = true;
  EXPECT_EQ(file.Get(path.c_str(), "k", value, "d"), 0);
  gFailStrcpy = false;
  EXPECT_EQ(file.Get(path.c_str(), "k", value, "d"), 5);
}

}  // namespace
