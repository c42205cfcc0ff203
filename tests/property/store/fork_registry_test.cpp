// The registry's own copy (compiled into this test): parts joined in any
// order run in rank order at a fork and give back in the opposite order, in
// the parent and in the child; a second Join of a rank changes nothing.
#include "property/store/fork_registry.h"

#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "gtest/gtest.h"

namespace {

std::string gCalls;  // what the handlers ran, in order

template <char kName>
constexpr ForkRegistry::Participant kPart{[] { gCalls += std::string("b") + kName; },
                                          [] { gCalls += std::string("p") + kName; },
                                          [] { gCalls += std::string("c") + kName; }};

TEST(ForkRegistry, RunsThePartsInRankOrderAndGivesBackInReverse) {
  ForkRegistry::Join(ForkRegistry::kWatcher, &kPart<'W'>);
  ForkRegistry::Join(ForkRegistry::kFiles, &kPart<'F'>);
  ForkRegistry::Join(ForkRegistry::kFiles, &kPart<'X'>);  // taken already
  gCalls.clear();
  const pid_t pid = fork();
  if (pid == 0) {
    const bool told = ForkRegistry::InForkedChild() && ForkRegistry::ForkedWhileJoined(ForkRegistry::kFiles);
    _exit(gCalls == "bFbWcWcF" && told ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child saw other calls or was not told";
  EXPECT_EQ(gCalls, "bFbWpWpF");
  EXPECT_FALSE(ForkRegistry::InForkedChild());
}

}  // namespace
