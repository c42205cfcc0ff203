// property_get / property_set on "/etc/j-config/mj-gralloc.cfg". These tests
// refuse to run unless that directory is a private tmpfs (the test command
// runs them through scripts/private-ns.sh), so no machine's real file is
// ever touched.
#include "property/store/property_api.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "property/store/inotify_watch_property.h"
#include "tests/property/store/peer_process.h"
#include "tests/property/store/store_test_util.h"

extern char** environ;

namespace {

using store_test::CountingObserver;
using store_test::kConfigFile;
using store_test::ReadText;
using store_test::RunPeer;
using store_test::WaitUntil;
using store_test::WriteText;

std::string Get(const char* key, const char* fallback = "") {
  char value[PROPERTY_VALUE_SIZE];
  property_get(key, value, fallback);
  return value;
}


class PropertyApiTest : public ::testing::Test {
 protected:
  // Starts every test from a known file, already read by this process.
  void SetUp() override {
    if (!store_test::ConfigDirIsPrivateTmpfs()) {
      GTEST_SKIP() << "/etc/j-config is not a private tmpfs; run through scripts/private-ns.sh";
    }
    static int round = 0;
    const std::string generation = std::to_string(getpid()) + "." + std::to_string(++round);
    WriteText(kConfigFile, "# test file\ngeneration=" + generation + "\n");
    ASSERT_TRUE(WaitUntil([&] { return Get("generation") == generation; }));
  }
};

TEST_F(PropertyApiTest, SetThenGet) {
  EXPECT_EQ(property_set("demo.key", "v1"), 0);
  char value[PROPERTY_VALUE_SIZE];
  EXPECT_EQ(property_get("demo.key", value, "d"), 2);
  EXPECT_STREQ(value, "v1");
  EXPECT_EQ(property_get("demo.absent", value, "d"), 1);
  EXPECT_STREQ(value, "d");
  const std::string file = ReadText(kConfigFile);
  EXPECT_EQ(file.rfind("# test file\n", 0), 0u);
  EXPECT_NE(file.find("\ndemo.key=v1\n"), std::string::npos);
}

TEST_F(PropertyApiTest, AnotherProcessSetsThisOneSeesIt) {
  EXPECT_EQ(Get("peer.key", "none"), "none");
  ASSERT_EQ(RunPeer({"set", "peer.key", "hello"}), 0);
  EXPECT_TRUE(WaitUntil([] { return Get("peer.key", "none") == "hello"; }));
}

TEST_F(PropertyApiTest, SetKeepsWhatAnotherProcessWrote) {
  CountingObserver told;  // told after the process-wide property file
  ASSERT_EQ(InotifyWatchProperty::GetInstance()->SetCallback(kConfigFile, &told), 0);
  ASSERT_EQ(RunPeer({"set", "peer.other", "x"}), 0);
  ASSERT_TRUE(told.WaitForCount(1));
  ASSERT_EQ(property_set("mine", "1"), 0);
  const std::string file = ReadText(kConfigFile);
  EXPECT_NE(file.find("\npeer.other=x\n"), std::string::npos) << file;
  EXPECT_NE(file.find("\nmine=1\n"), std::string::npos) << file;
  InotifyWatchProperty::GetInstance()->RemoveCallback(kConfigFile, &told);
}

// Rewrites the file `rounds` times with open/write/close only, as a forked
// child of a threaded process must.
[[noreturn]] void RewriteLoop(int rounds) {
  char text[] = "# rewritten\nshared=0\n";
  char* digit = strchr(text, '0');
  const timespec pause = {0, 500000};
  for (int i = 0; i < rounds; ++i) {
    *digit = static_cast<char>('0' + i % 10);
    const int fd = open(kConfigFile, O_WRONLY | O_TRUNC);
    if (fd >= 0) {
      if (write(fd, text, sizeof(text) - 1) < 0) _exit(1);
      close(fd);
    }
    nanosleep(&pause, nullptr);
  }
  _exit(0);
}

TEST_F(PropertyApiTest, ConcurrentCallersWhileAnotherProcessRewrites) {
  const pid_t writer = fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) RewriteLoop(300);

  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t] {
      const std::string key = "thread." + std::to_string(t);
      char value[PROPERTY_VALUE_SIZE];
      for (int i = 0; i < 30; ++i) {
        EXPECT_EQ(property_set(key.c_str(), std::to_string(i).c_str()), 0);
        for (int j = 0; j < 5; ++j) {
          const int length = property_get(key.c_str(), value, "-");
          EXPECT_EQ(length, static_cast<int>(strlen(value)));
          property_get("shared", value, nullptr);
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  int status = 0;
  ASSERT_EQ(waitpid(writer, &status, 0), writer);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  for (int t = 0; t < 8; ++t) {
    const std::string key = "thread." + std::to_string(t);
    ASSERT_EQ(property_set(key.c_str(), "last"), 0);
  }
  const std::string file = ReadText(kConfigFile);
  for (int t = 0; t < 8; ++t) {
    const std::string key = "thread." + std::to_string(t);
    EXPECT_EQ(Get(key.c_str()), "last");
    EXPECT_NE(file.find("\n" + key + "=last\n"), std::string::npos) << file;
  }
}

// A forked child that sets a property and exits normally runs the library's
// destructors without the watcher's threads; it must neither hang nor take
// the parent's watch away.
TEST_F(PropertyApiTest, ForkedChildExitsNormallyAndLeavesTheParentWatching) {
  fflush(nullptr);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) exit(property_set("child.key", "1") == 0 ? 0 : 1);
  int status = 0;
  const bool exited = WaitUntil([&] { return waitpid(child, &status, WNOHANG) == child; });
  if (!exited) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
  }
  ASSERT_TRUE(exited) << "the child hangs in exit";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(WaitUntil([] { return Get("child.key") == "1"; }));
  WriteText(kConfigFile, "after.child=2\n");
  EXPECT_TRUE(WaitUntil([] { return Get("after.child") == "2"; })) << "the parent no longer hears of changes";
}

// What a forked child does, reported through its exit status: reads while
// the parent's other thread was setting at the fork, waits until the parent
// says another process changed the file, then must see that change and keep
// it through a set of its own.
[[noreturn]] void ForkedChild(int ready, int changed, const std::string& expected) {
  alarm(60);  // a child that hangs ends instead of holding the test up
  char value[PROPERTY_VALUE_SIZE];
  property_get("generation", value, "");
  char byte = 1;
  if (write(ready, &byte, 1) != 1 || read(changed, &byte, 1) != 1) _exit(2);
  property_get("after.fork", value, "none");
  if (expected != value) _exit(3);
  if (property_set("child", expected.c_str()) != 0) _exit(4);
  _exit(0);
}

// A child forked while another thread of the parent is inside property_set
// neither hangs on its first call nor answers from the pairs it inherited:
// it sees what other processes wrote after the fork, and its own set keeps
// that.
TEST_F(PropertyApiTest, AForkedChildNeitherHangsNorAnswersStale) {
  signal(SIGPIPE, SIG_IGN);  // a child that died early shows in its status
  std::atomic<bool> stop{false};
  std::thread setter([&] {
    for (int i = 0; !stop; ++i) property_set("setter", std::to_string(i).c_str());
  });
  for (int round = 0; round < 10; ++round) {
    const std::string expected = "round" + std::to_string(round);
    int ready[2];
    int changed[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(changed), 0);
    fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) ForkedChild(ready[1], changed[0], expected);
    close(ready[1]);
    close(changed[0]);
    char byte = 0;
    EXPECT_EQ(read(ready[0], &byte, 1), 1) << "round " << round << ": the child hangs in its first call";
    EXPECT_EQ(RunPeer({"set", "after.fork", expected}), 0);
    EXPECT_EQ(write(changed[1], &byte, 1), 1);
    close(ready[0]);
    close(changed[1]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "round " << round << ": status " << status << " (3: stale answer, 4: set refused, signal: hang)";
    const std::string file = ReadText(kConfigFile);
    EXPECT_NE(file.find("\nafter.fork=" + expected + "\n"), std::string::npos) << file;
    EXPECT_NE(file.find("\nchild=" + expected + "\n"), std::string::npos) << file;
  }
  stop = true;
  setter.join();
}

TEST_F(PropertyApiTest, LibraryLoadsAndUnloadsCleanly) {
  property_set("unload.key", "1");
  EXPECT_EQ(RunPeer({"unload"}), 0);
}

}  // namespace
