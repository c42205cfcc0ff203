#include "platform/boundck/bounds_checked.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(MemcpyS, CopiesWithinBounds) {
  char dest[8] = {};
  EXPECT_EQ(memcpy_s(dest, sizeof(dest), "abcd", 4), 0);
  EXPECT_EQ(memcmp(dest, "abcd", 4), 0);
  EXPECT_EQ(memcpy_s(dest, sizeof(dest), "12345678", 8), 0);  // exactly the capacity
  EXPECT_EQ(memcmp(dest, "12345678", 8), 0);
}

TEST(MemcpyS, RefusesEachViolationAndClearsTheDestination) {
  char dest[8];
  const char src[16] = "abcdefghijklmno";
  EXPECT_NE(memcpy_s(nullptr, 8, src, 4), 0);
  EXPECT_NE(memcpy_s(dest, 0, src, 0), 0);
  EXPECT_NE(memcpy_s(dest, SIZE_MAX, src, 4), 0);

  memset(dest, 'x', sizeof(dest));
  EXPECT_NE(memcpy_s(dest, sizeof(dest), nullptr, 4), 0);
  EXPECT_EQ(dest[0], 0);

  memset(dest, 'x', sizeof(dest));
  EXPECT_NE(memcpy_s(dest, sizeof(dest), src, 9), 0);  // count > destsz
  EXPECT_EQ(dest[7], 0);

  char overlap[16] = "abcdefghijklmno";
  EXPECT_NE(memcpy_s(overlap + 2, 8, overlap, 4), 0);
  EXPECT_NE(memcpy_s(overlap, 8, overlap + 3, 4), 0);
  EXPECT_EQ(memcpy_s(overlap, 4, overlap + 4, 4), 0);  // adjacent, not overlapping
}

TEST(StrcpyS, CopiesTheTerminatorToo) {
  char dest[4];
  EXPECT_EQ(strcpy_s(dest, sizeof(dest), "abc"), 0);
  EXPECT_STREQ(dest, "abc");
  EXPECT_EQ(strcpy_s(dest, sizeof(dest), ""), 0);
  EXPECT_STREQ(dest, "");
}

TEST(StrcpyS, RefusesEachViolationAndLeavesAnEmptyString) {
  char dest[4] = "xyz";
  EXPECT_NE(strcpy_s(nullptr, 4, "a"), 0);
  EXPECT_NE(strcpy_s(dest, 0, "a"), 0);
  EXPECT_NE(strcpy_s(dest, SIZE_MAX, "a"), 0);
  EXPECT_STREQ(dest, "xyz");  // nothing written when the size itself is bad

  EXPECT_NE(strcpy_s(dest, sizeof(dest), nullptr), 0);
  EXPECT_STREQ(dest, "");

  strcpy(dest, "xyz");
  EXPECT_NE(strcpy_s(dest, sizeof(dest), "abcd"), 0);  // needs 5 bytes
  EXPECT_STREQ(dest, "");

  char overlap[16] = "abcdef";
  EXPECT_NE(strcpy_s(overlap + 2, 14, overlap), 0);
}

}  // namespace
