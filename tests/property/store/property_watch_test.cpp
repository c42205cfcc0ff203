// property_watch, property_unwatch and property_wait on
// "/etc/j-config/mj-gralloc.cfg", changed by other processes and from
// outside the library. Skipped unless that directory is a private tmpfs.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "property/store/property_api.h"
#include "property/store/property_watch.h"
#include "property/store/scoped_property_watch.h"
#include "tests/property/store/peer_process.h"
#include "tests/property/store/store_test_util.h"
#include "tests/support/missing_file_watch.h"

namespace {

using store_test::kConfigFile;
using store_test::PeerProcess;
using store_test::RunPeer;
using store_test::TempDir;
using store_test::WriteText;
using Value = std::optional<std::string>;

// Every value a watch was called with, in order.
class Recorder {
 public:
  static void Record(const char* /*key*/, const char* value, void* self) {
    auto* recorder = static_cast<Recorder*>(self);
    {
      std::lock_guard<std::mutex> lock(recorder->mMutex);
      recorder->mValues.push_back(value != nullptr ? Value(value) : std::nullopt);
    }
    recorder->mChanged.notify_all();
  }

  bool WaitForLast(const Value& last) {
    std::unique_lock<std::mutex> lock(mMutex);
    return mChanged.wait_for(lock, std::chrono::seconds(60), [&] { return !mValues.empty() && mValues.back() == last; });
  }

  std::vector<Value> Values() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mValues;
  }

 private:
  std::mutex mMutex;
  std::condition_variable mChanged;
  std::vector<Value> mValues;  // guarded by mMutex
};

bool IsSubsequence(const std::vector<Value>& seen, const std::vector<Value>& written) {
  auto next = written.begin();
  for (const Value& value : seen) {
    next = std::find(next, written.end(), value);
    if (next == written.end()) return false;
    ++next;
  }
  return true;
}

void ReplaceByRename(const std::string& text) {
  const std::string temporary = std::string(kConfigFile) + ".new";
  WriteText(temporary, text);
  ASSERT_EQ(rename(temporary.c_str(), kConfigFile), 0);
}

class PropertyWatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!store_test::ConfigDirIsPrivateTmpfs()) {
      GTEST_SKIP() << "/etc/j-config is not a private tmpfs; run through scripts/private-ns.sh";
    }
    WriteText(kConfigFile, "w.key=0\nother=0\n");
  }
};

TEST_F(PropertyWatchTest, DeliversTheLastValueOfEveryChangeFromAnywhere) {
  struct Step {
    const char* what;
    std::function<void()> change;
    Value last;
  };
  // The removal comes first: while the watcher has not yet followed a
  // replaced file to its new inode, a removal would go untold.
  const Step steps[] = {
      {"the file removed", [] { unlink(kConfigFile); }, std::nullopt},
      {"the file created again", [] { WriteText(kConfigFile, "w.key=1\n"); }, "1"},
      {"a rewrite in place", [] { WriteText(kConfigFile, "w.key=2\nother=1\n"); }, "2"},
      {"a replace by rename", [] { ReplaceByRename("w.key=3\n"); }, "3"},
      {"another process's set", [] { ASSERT_EQ(RunPeer({"set", "w.key", "4"}), 0); }, "4"},
      {"this process's set", [] { property_set("w.key", "5"); }, "5"},
  };
  Recorder recorder;
  const int handle = property_watch("w.key", &Recorder::Record, &recorder);
  ASSERT_GT(handle, 0);
  std::vector<Value> written = {"0"};  // news of SetUp's write may come late
  for (const Step& step : steps) {
    step.change();
    written.push_back(step.last);
    EXPECT_TRUE(recorder.WaitForLast(step.last)) << step.what;
  }
  EXPECT_TRUE(IsSubsequence(recorder.Values(), written))  // in order, never "other"
      << ::testing::PrintToString(recorder.Values());
  EXPECT_EQ(property_unwatch(handle), 0);
  EXPECT_EQ(property_unwatch(handle), -1);
  EXPECT_EQ(property_watch("", &Recorder::Record, nullptr), -1);
  EXPECT_EQ(property_watch("w.key", nullptr, nullptr), -1);
}

TEST_F(PropertyWatchTest, UnwatchesFromItsOwnCallbackAndWaits) {
  static std::atomic<int> selfHandle{0};
  static std::atomic<int> selfCalls;
  selfCalls = 0;
  selfHandle = property_watch("w.key", [](const char*, const char*, void*) {
    ++selfCalls;
    EXPECT_EQ(property_unwatch(selfHandle), 0);
  }, nullptr);
  Recorder recorder;
  ScopedPropertyWatch watch("w.key", [&](const char* key, const char* value) { Recorder::Record(key, value, &recorder); });
  ASSERT_TRUE(watch.Active());
  ASSERT_EQ(RunPeer({"set", "w.key", "1"}), 0);
  ASSERT_TRUE(recorder.WaitForLast("1"));
  ASSERT_EQ(RunPeer({"set", "w.key", "2"}), 0);
  ASSERT_TRUE(recorder.WaitForLast("2"));
  EXPECT_EQ(selfCalls, 1);

  struct WaitCase {
    const char* what;
    const char* value;
    int timeoutMs;
    std::function<void(std::future<int>&)> meanwhile;
    int result;
  };
  const WaitCase cases[] = {
      {"already there", "2", -1, nullptr, 0},
      {"never comes", "never", 50, nullptr, -1},
      {"set by another process", "peer", -1, [](std::future<int>&) { RunPeer({"set", "w.key", "peer"}); }, 0},
      {"any other value", nullptr, -1,
       [](std::future<int>& waiting) {
         // Until the wait has read its first value, a change may come too early.
         for (int i = 0; waiting.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready; ++i) {
           property_set("w.key", std::to_string(i).c_str());
         }
       },
       0},
  };
  for (const WaitCase& test : cases) {
    std::future<int> waiting =
        std::async(std::launch::async, [&test] { return property_wait("w.key", test.value, test.timeoutMs); });
    if (test.meanwhile) test.meanwhile(waiting);
    EXPECT_EQ(waiting.get(), test.result) << test.what;
  }
}

TEST_F(PropertyWatchTest, ForkedChildGetsNoWatches) {
  Recorder recorder;
  const int handle = property_watch("w.key", &Recorder::Record, &recorder);
  ASSERT_GT(handle, 0);
  const pid_t child = fork();
  if (child == 0) {
    const bool asDocumented = property_watch("w.key", &Recorder::Record, &recorder) == -1 &&
                              property_unwatch(handle) == -1 && property_wait("w.key", "0", -1) == 0 &&
                              property_wait("w.key", "other", -1) == -1;
    _exit(asDocumented ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_EQ(RunPeer({"set", "w.key", "after"}), 0);
  EXPECT_TRUE(recorder.WaitForLast("after"));  // the parent's watch goes on
  EXPECT_EQ(property_unwatch(handle), 0);
}

TEST_F(PropertyWatchTest, StartsWhenTheFileAppears) {
  if (!testing_support::WatcherTakesMissingFiles()) {
    GTEST_SKIP() << "the watcher does not take a file that does not exist yet";
  }
  unlink(kConfigFile);
  Recorder recorder;
  const int handle = property_watch("w.key", &Recorder::Record, &recorder);
  WriteText(kConfigFile, "w.key=new\n");
  EXPECT_TRUE(recorder.WaitForLast("new"));
  EXPECT_EQ(property_unwatch(handle), 0);
}

// A watch or wait that has ended leaves another process as a plain reader
// leaves it: no inotify instance once the watcher idled, no extra thread.
TEST_F(PropertyWatchTest, AnEndedWatchOrWaitCostsWhatAPlainReaderCosts) {
  size_t plainThreads = 0;
  for (const std::string what : {"get", "wait", "unwatch", "unwatch-inside"}) {
    PeerProcess peer({"idle-after", what});
    std::string line;
    ASSERT_TRUE(peer.ReadLine(line) && line == "done") << what;
    const std::string pid = std::to_string(peer.Pid());
    const auto idle = [&] {
      return store_test::InotifyDescriptors(pid).empty() && (plainThreads == 0 || store_test::Threads(pid) == plainThreads);
    };
    EXPECT_TRUE(store_test::WaitUntil(idle)) << what << ": " << store_test::InotifyDescriptors(pid).size()
                                             << " inotify instances, " << store_test::Threads(pid)
                                             << " threads; a plain reader has " << plainThreads;
    if (plainThreads == 0) plainThreads = store_test::Threads(pid);
  }
}

// The peer's "make" of `path` under the scratch directory.
std::function<int(const TempDir&)> Make(const char* path, const char* text = nullptr) {
  return [=](const TempDir& dir) {
    std::vector<std::string> args = {"make", dir.File(path)};
    if (text != nullptr) args.push_back(text);
    return RunPeer(args);
  };
}

// Another process makes the missing directories and the file (or removes
// one) after the watch was made.
TEST(PropertyWatchPathTest, AWatchMadeBeforeItsDirectoryStartsWhenItAppears) {
  struct Case {
    const char* what;
    const char* path;    // watched, under a scratch directory
    const char* before;  // written to the path first, when not null
    std::vector<std::function<int(const TempDir&)>> steps;
    Value last;  // delivered last; null: the watch is refused
  };
  const auto remove = [](const char* path) {
    return [=](const TempDir& dir) { return std::system(("rm -r " + dir.File(path)).c_str()); };
  };
  const Case cases[] = {
      {"its directory missing", "d/a.cfg", nullptr, {Make("d/a.cfg", "k=1\n")}, "1"},
      {"three levels, made one at a time", "d1/d2/d3/a.cfg", nullptr,
       {Make("d1/d2/x"), Make("d1/d2/d3/x"), Make("d1/d2/d3/a.cfg", "k=2\n")}, "2"},
      {"its directory removed and made again", "d/a.cfg", "k=0\n", {remove("d"), Make("d/a.cfg", "k=3\n")}, "3"},
      {"a file where a directory should be", "f/a.cfg", nullptr, {}, std::nullopt},
  };
  for (const Case& test : cases) {
    TempDir dir;
    if (test.before != nullptr) {
      ASSERT_EQ(Make(test.path, test.before)(dir), 0);
    }
    if (!test.last) WriteText(dir.File("f"), "");
    Recorder recorder;  // outlives the watch's delivery thread
    PropertyFile store;
    PropertyWatch watch(store, dir.File(test.path));
    const int handle = watch.Watch("k", &Recorder::Record, &recorder);
    if (!test.last) {
      EXPECT_EQ(handle, -1) << test.what;
      continue;
    }
    ASSERT_GT(handle, 0) << test.what;
    for (const auto& step : test.steps) ASSERT_EQ(step(dir), 0) << test.what;
    EXPECT_TRUE(recorder.WaitForLast(test.last)) << test.what;
  }
}

}  // namespace
