// The look-again decisions of the process cache, from fake news, counter
// values and identities.
#include "property/store/freshness.h"

#include <gtest/gtest.h>

namespace {

FileIdentity Identity(ino_t inode, bool trusted) {
  FileIdentity identity;
  identity.exists = true;
  identity.inode = inode;
  identity.trusted = trusted;
  return identity;
}

TEST(FreshnessTest, OnlyQuietNewsOrAProvenIdentitySkipsTheRead) {
  const struct { Freshness::News news; bool quiet; } news[] = {
      {{false, true, 7, 7}, true}, {{true, true, 7, 7}, false}, {{false, true, 8, 7}, false},
      {{false, false, 0, 0}, false}};
  for (const auto& row : news) EXPECT_EQ(Freshness::Quiet(row.news), row.quiet) << row.news.told << row.news.changes;
  EXPECT_FALSE(Freshness::Heeds(true, false));
  EXPECT_FALSE(Freshness::Heeds(false, true));
  const struct { FileIdentity known, now; bool unchanged; int stats; } identities[] = {
      {Identity(1, true), Identity(1, true), true, 1},
      {Identity(1, true), Identity(2, true), false, 1},
      {Identity(1, false), Identity(1, false), false, 0}};  // an untrusted one is not even compared
  for (const auto& row : identities) {
    int stats = 0;
    EXPECT_EQ(Freshness::Unchanged(row.known, [&] { return ++stats, row.now; }), row.unchanged);
    EXPECT_EQ(stats, row.stats);
  }
}

TEST(FreshnessTest, WritersAndRegistrationsKeepTheirBookkeeping) {
  EXPECT_EQ(Freshness::SeenAfterRaise(3, 5, 6), 6u);  // the writer's raise is the only change
  EXPECT_EQ(Freshness::SeenAfterRaise(3, 5, 7), 3u);  // another writer's came between
  EXPECT_EQ(Freshness::SeenAfterRaise(3, 5, 0), 3u);  // no counter was raised by one
  std::string watched;
  int looks = 0;
  const auto exists = [&looks](bool answer) { return [&looks, answer] { return ++looks, answer; }; };
  EXPECT_TRUE(Freshness::MayRegister(watched, "/a", exists(false)));  // the first path, even missing
  EXPECT_FALSE(Freshness::MayRegister(watched, "/b", exists(true)));
  EXPECT_FALSE(Freshness::MayRegister(watched, "/a", exists(false)));
  EXPECT_TRUE(Freshness::MayRegister(watched, "/a", exists(true)));
  EXPECT_EQ(watched, "/a");
  EXPECT_EQ(looks, 2);
}

}  // namespace
