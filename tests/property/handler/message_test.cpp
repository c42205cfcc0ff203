#include "property/handler/message.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <limits>
#include <thread>

namespace {

TEST(MessageTest, OrdersByDueTimeOnly) {
  Message first(7, 1, 2);
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
  Message second(-3);
  EXPECT_TRUE(second > first);
  EXPECT_FALSE(first > second);

  Message now(0, 0, 0, 0);
  Message later(1, 2, 3, 10);
  EXPECT_TRUE(later > now);
  EXPECT_GE(later.mWhen - now.mWhen, 10'000'000);
  EXPECT_LT(later.mWhen - now.mWhen, 10'000'000 + 1'000'000'000);  // same moment, give or take

  Message earlier(0, 0, 0, -5);
  EXPECT_TRUE(now > earlier);
}

TEST(MessageTest, ConstructorsFillTheMissingArgumentsWithZero) {
  Message msg(4, 5);
  EXPECT_EQ(msg.mWhat, 4);
  EXPECT_EQ(msg.mArg1, 5);
  EXPECT_EQ(msg.mArg2, 0);
  EXPECT_TRUE(msg.mString.empty());
  EXPECT_FALSE(msg.mFunction);
  const int64_t wallNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
  EXPECT_LE(msg.mWhen, wallNs);
  EXPECT_GT(msg.mWhen, wallNs - 60'000'000'000LL);  // wall clock, not monotonic
}

TEST(MessageTest, CopyIsIndependentAndComparesEqual) {
  int calls = 0;
  Message source(1, 2, 3, 50);
  source.SetString("text");
  source.SetFunction([&calls] { ++calls; });

  Message copy(source);
  EXPECT_FALSE(copy > source);
  EXPECT_FALSE(source > copy);
  EXPECT_EQ(copy.mString, "text");

  Message assigned;
  assigned = source;
  source.SetFunction(nullptr);
  source.SetString("changed");
  ASSERT_TRUE(assigned.mFunction);
  assigned.mFunction();
  copy.mFunction();
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(assigned.mString, "text");
  EXPECT_EQ(assigned.mWhen, copy.mWhen);

  const Message& self = assigned;
  assigned = self;
  EXPECT_EQ(assigned.mString, "text");
  EXPECT_TRUE(assigned.mFunction);
}

TEST(MessageTest, SetWhenCountsFromTheCall) {
  Message old(1, 0, 0, -1000);
  Message reference;
  old.SetWhen(0);
  EXPECT_FALSE(reference > old);
  old.SetWhen(20);
  EXPECT_GE(old.mWhen - reference.mWhen, 20'000'000);
}

// Delays whose nanoseconds leave the int64_t range: a far future message
// stays after one due now, a far past one before it (no wrap, no overflow).
TEST(MessageTest, DelaysPastTheRangeAreHeldAtItsEnds) {
  const Message now(1);
  for (long delay : {LONG_MAX, LONG_MAX / 1000, 9'300'000'000'000L}) {
    Message far(1, 0, 0, delay);
    EXPECT_EQ(far.mWhen, std::numeric_limits<int64_t>::max()) << delay;
    EXPECT_TRUE(far > now) << delay;
    Message past(1, 0, 0, -delay);
    EXPECT_EQ(past.mWhen, std::numeric_limits<int64_t>::min()) << delay;
    EXPECT_TRUE(now > past) << delay;
  }
  Message later(1);
  later.SetWhen(LONG_MAX);
  EXPECT_EQ(later.mWhen, std::numeric_limits<int64_t>::max());
  later.SetWhen(LONG_MIN);
  EXPECT_EQ(later.mWhen, std::numeric_limits<int64_t>::min());
  // Just inside the range: 9.2e12 ms is about 292 years, so now plus it
  // passes the range only through the addition.
  Message edge(1, 0, 0, 9'000'000'000'000L);
  EXPECT_EQ(edge.mWhen, std::numeric_limits<int64_t>::max());
}

}  // namespace
