// propctl watch, run as a program of its own, seeing changes that other
// processes make to "/etc/j-config/mj-gralloc.cfg", and its clean exit on
// SIGINT and SIGTERM, and propctl wait. Skipped unless that directory is a private tmpfs.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <functional>
#include <future>
#include <string>
#include <vector>

#include "tests/support/missing_file_watch.h"
#include "tests/tools/propctl/propctl_process.h"

namespace {

using propctl_test::kConfigFile;
using propctl_test::PropctlProcess;
using propctl_test::Propctl;
using propctl_test::ReplaceText;

constexpr char kWatching[] = "propctl: watching ";

class PropctlWatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!propctl_test::ConfigDirIsPrivateTmpfs()) {
      GTEST_SKIP() << "/etc/j-config is not a private tmpfs; run through scripts/private-ns.sh";
    }
    ReplaceText(kConfigFile, "# head\na=1\nb=1\n");
  }

  // Sets a pair from another propctl process.
  static void SetElsewhere(const std::string& key, const std::string& value) {
    ASSERT_EQ(Propctl({"set", key, value}).status, 0);
  }
};

// No line about `key` among `lines`.
void ExpectNothingAbout(const std::string& key, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    EXPECT_NE(line, "-" + key);
    EXPECT_NE(line.rfind(key + "=", 0), 0u) << line;
  }
}

TEST_F(PropctlWatchTest, PrintsChangesOfTheNamedKeysMadeByOtherProcesses) {
  PropctlProcess watch({"watch", "a", "c"});
  ASSERT_TRUE(watch.WaitForErrLine(kWatching));

  SetElsewhere("b", "2");  // not watched
  SetElsewhere("a", "2");
  EXPECT_TRUE(watch.WaitForOutLine("a=2"));
  SetElsewhere("c", "new");
  EXPECT_TRUE(watch.WaitForOutLine("c=new"));
  ReplaceText(kConfigFile, "b=5\nc=new\n");
  EXPECT_TRUE(watch.WaitForOutLine("-a"));
  ReplaceText(kConfigFile, "a=3\nb=6\nc=\n");
  EXPECT_TRUE(watch.WaitForOutLine("a=3"));
  EXPECT_TRUE(watch.WaitForOutLine("c="));

  EXPECT_EQ(watch.StopWith(SIGTERM), 0);
  const std::vector<std::string> lines = watch.OutLines();
  ExpectNothingAbout("b", lines);
  // Each change shows once, in the order it was made.
  EXPECT_EQ(lines, (std::vector<std::string>{"a=2", "c=new", "-a", "a=3", "c="}));
}

TEST_F(PropctlWatchTest, WatchesEveryKeyWhenNoneIsNamedAndEndsOnSigint) {
  PropctlProcess watch({"watch"});
  ASSERT_TRUE(watch.WaitForErrLine(kWatching));
  SetElsewhere("b", "2");
  EXPECT_TRUE(watch.WaitForOutLine("b=2"));
  SetElsewhere("new.key", "x");
  EXPECT_TRUE(watch.WaitForOutLine("new.key=x"));
  ASSERT_EQ(Propctl({"unset", "a"}).status, 0);
  EXPECT_TRUE(watch.WaitForOutLine("-a"));
  EXPECT_EQ(watch.StopWith(SIGINT), 0);
  EXPECT_EQ(watch.OutLines(), (std::vector<std::string>{"b=2", "new.key=x", "-a"}));
}

TEST_F(PropctlWatchTest, WaitsForAMissingFileToAppear) {
  if (!testing_support::WatcherTakesMissingFiles()) {
    GTEST_SKIP() << "the watcher does not take a file that does not exist yet";
  }
  unlink(kConfigFile);
  PropctlProcess watch({"watch", "k"});
  ASSERT_TRUE(watch.WaitForErrLine("propctl: waiting for "));
  ReplaceText(kConfigFile, "k=v\nother=1\n");
  EXPECT_TRUE(watch.WaitForOutLine("k=v"));
  ASSERT_TRUE(watch.WaitForErrLine(kWatching));
  SetElsewhere("k", "w");
  EXPECT_TRUE(watch.WaitForOutLine("k=w"));
  EXPECT_EQ(watch.StopWith(SIGINT), 0);
  ExpectNothingAbout("other", watch.OutLines());
}

TEST_F(PropctlWatchTest, EndsCleanlyWhileWaitingForTheFile) {
  unlink(kConfigFile);
  PropctlProcess watch({"watch"});
  ASSERT_TRUE(watch.WaitForErrLine("propctl: waiting for "));
  EXPECT_EQ(watch.StopWith(SIGTERM), 0);
}

TEST_F(PropctlWatchTest, WatchesTheFileGivenWithFileOption) {
  char pattern[] = "/tmp/propctl_watch.XXXXXX";
  const int fd = mkstemp(pattern);
  ASSERT_GE(fd, 0);
  close(fd);
  const std::string other = pattern;
  PropctlProcess watch({"-f", other, "watch"});
  ASSERT_TRUE(watch.WaitForErrLine(kWatching + other));
  SetElsewhere("a", "9");  // the default file: not watched
  ASSERT_EQ(Propctl({"-f", other, "set", "x", "1"}).status, 0);
  EXPECT_TRUE(watch.WaitForOutLine("x=1"));
  EXPECT_EQ(watch.StopWith(SIGTERM), 0);
  EXPECT_EQ(watch.OutLines(), std::vector<std::string>{"x=1"});
  unlink(other.c_str());
}

TEST_F(PropctlWatchTest, WaitEndsWhenTheValueComesOrTheTimeOutPasses) {
  struct Case {
    const char* what;
    std::vector<std::string> args;
    std::function<void()> meanwhile;
    int status;
  };
  const Case cases[] = {
      {"already there", {"wait", "a", "1"}, nullptr, 0},
      {"never comes", {"wait", "a", "2", "--timeout", "0.05"}, nullptr, 1},
      {"set by another process", {"wait", "a", "3"}, [] { SetElsewhere("a", "3"); }, 0},
      {"a bad time-out", {"wait", "a", "3", "--timeout", "soon"}, nullptr, 2},
  };
  for (const Case& test : cases) {
    std::future<int> waiting = std::async(std::launch::async, [&test] { return Propctl(test.args).status; });
    if (test.meanwhile) test.meanwhile();
    EXPECT_EQ(waiting.get(), test.status) << test.what;
  }
}

}  // namespace
