#include "property/store/inotify_watch_property.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "tests/property/store/store_test_util.h"
#include "tests/support/log_capture.h"
#include "tests/support/thread_creation_failure.h"

namespace {

using store_test::CountingObserver;
using store_test::TempDir;
using store_test::WaitUntil;
using store_test::WriteText;
using testing_support::LogCapture;
using testing_support::LogLine;

LogLine Watcher(int level, const std::string& message) { return {level, std::nullopt, message}; }

TEST(InotifyWatchPropertyTest, GetInstanceIsOneObject) {
  EXPECT_NE(InotifyWatchProperty::GetInstance(), nullptr);
  EXPECT_EQ(InotifyWatchProperty::GetInstance(), InotifyWatchProperty::GetInstance());
}

TEST(InotifyWatchPropertyTest, NotifiesOnCloseAfterWritingNotOnReadOnlyOpen) {
  LogCapture log;
  TempDir dir;
  const std::string path = dir.File("a.cfg");
  WriteText(path, "a=1\n");
  InotifyWatchProperty watcher;
  CountingObserver observer;
  ASSERT_EQ(watcher.SetCallback(path, &observer), 0);

  // Events of one watcher arrive in order: once a write to another watched
  // file has been told, any event of the read-only open has been told too.
  const std::string marker = dir.File("marker.cfg");
  WriteText(marker, "");
  CountingObserver markerObserver;
  ASSERT_EQ(watcher.SetCallback(marker, &markerObserver), 0);
  { std::ifstream reader(path); std::string line; std::getline(reader, line); }
  WriteText(marker, "m=1\n");
  ASSERT_TRUE(markerObserver.WaitForCount(1));
  EXPECT_EQ(observer.Count(), 0) << "the read-only open notified";
  WriteText(path, "a=2\n");
  ASSERT_TRUE(observer.WaitForCount(1));
  EXPECT_EQ(watcher.RemoveCallback(marker, &markerObserver), 0);
  EXPECT_TRUE(log.Contains(Watcher(ZU_LOG_INFO, "wd = 1;")));
  EXPECT_EQ(watcher.RemoveCallback(path, &observer), 0);
}

// The inotify descriptor of this process that is not among `before`.
std::string AddedDescriptor(const std::vector<std::string>& before) {
  for (const std::string& fd : store_test::InotifyDescriptors()) {
    if (std::find(before.begin(), before.end(), fd) == before.end()) return fd;
  }
  return "";
}

// The kernel watches of the inotify descriptor `fd` of this process.
int KernelWatches(const std::string& fd) {
  std::ifstream info("/proc/self/fdinfo/" + fd);
  int watches = 0;
  for (std::string line; std::getline(info, line);) watches += line.rfind("inotify wd:", 0) == 0 ? 1 : 0;
  return watches;
}

// When the path comes to name another file while the old one lives on
// (rotated to a backup name, kept by a hard link), the old file's watch
// goes: it would cost a kernel watch per rotation and wake the observers
// on every write to the backup.
TEST(InotifyWatchPropertyTest, TheOldFileIsNoLongerWatchedOnceThePathNamesAnother) {
  TempDir dir;
  const std::string path = dir.File("a.cfg");
  WriteText(path, "a=1\n");
  const std::vector<std::string> before = store_test::InotifyDescriptors();
  InotifyWatchProperty watcher;
  const std::string fd = AddedDescriptor(before);
  ASSERT_FALSE(fd.empty());
  CountingObserver observer;
  ASSERT_EQ(watcher.SetCallback(path, &observer), 0);
  ASSERT_EQ(KernelWatches(fd), 2);  // the file and its directory

  ASSERT_EQ(rename(path.c_str(), dir.File("a.cfg.1").c_str()), 0);
  WriteText(path, "a=2\n");
  ASSERT_TRUE(observer.WaitForCount(1));  // the removal may be told before the new file is watched
  EXPECT_TRUE(WaitUntil([&] { return KernelWatches(fd) == 2; }));

  ASSERT_EQ(link(path.c_str(), dir.File("a.cfg.link").c_str()), 0);
  WriteText(dir.File("next"), "a=3\n");
  ASSERT_EQ(rename(dir.File("next").c_str(), path.c_str()), 0);
  ASSERT_TRUE(observer.WaitForCount(2));
  EXPECT_TRUE(WaitUntil([&] { return KernelWatches(fd) == 2; }));
  watcher.RemoveCallback(path, &observer);
  EXPECT_EQ(KernelWatches(fd), 0);
}

TEST(InotifyWatchPropertyTest, CodeZeroMessageNotifiesAndSignalsOthersAreIgnored) {
  TempDir dir;
  const std::string path = dir.File("a.cfg");
  WriteText(path, "");
  InotifyWatchProperty watcher;
  CountingObserver observer;
  ASSERT_EQ(watcher.SetCallback(path, &observer), 0);  // the first watch of a descriptor is 1
  watcher.SendMessage(Message(1, 1));
  EXPECT_TRUE(watcher.SendMessageSync(Message(0, 1)));
  EXPECT_EQ(observer.Count(), 1);
  EXPECT_TRUE(watcher.SendMessageSync(Message(0, 99)));  // no observers: only the signal
  EXPECT_EQ(observer.Count(), 1);
  watcher.RemoveCallback(path, &observer);
}

// A replaced file (rename over it, or delete and create) is followed: its
// observers hear of the replacement and of later writes to the new file. The
// replacement may be reported twice (the old file's watch going away), so
// each step waits for one more than the worst case of the step before.
TEST(InotifyWatchPropertyTest, FollowsAPathThatNamesAnotherFile) {
  TempDir dir;
  const std::string path = dir.File("a.cfg");
  WriteText(path, "a=1\n");
  InotifyWatchProperty watcher;
  CountingObserver observer;
  ASSERT_EQ(watcher.SetCallback(path, &observer), 0);

  WriteText(dir.File("new.cfg"), "a=2\n");
  ASSERT_EQ(rename(dir.File("new.cfg").c_str(), path.c_str()), 0);
  ASSERT_TRUE(observer.WaitForCount(1));
  WriteText(path, "a=3\n");
  ASSERT_TRUE(observer.WaitForCount(2));
  WriteText(path, "a=4\n");
  ASSERT_TRUE(observer.WaitForCount(3)) << "writes to the renamed-in file are not seen";

  const int before = observer.Count();
  ASSERT_EQ(unlink(path.c_str()), 0);
  WriteText(path, "a=5\n");
  ASSERT_TRUE(observer.WaitForCount(before + 1));
  WriteText(path, "a=6\n");
  ASSERT_TRUE(observer.WaitForCount(before + 2));
  WriteText(path, "a=7\n");
  ASSERT_TRUE(observer.WaitForCount(before + 3)) << "writes to the re-created file are not seen";
  watcher.RemoveCallback(path, &observer);
}

// Losing the file is told like a rewrite, and the file that lives on
// elsewhere is no longer watched: a marker path's later notification shows
// that no event of it came first.
// The path's observer is told, on the loop thread that tells of the files'
// own events (the marker's write).
TEST(InotifyWatchPropertyTest, APathWhoseFileOrDirectoryGoesAwayIsToldOnTheLoopThread) {
  struct Case {
    const char* what;
    const char* moved;  // renamed to this (under the scratch directory), or removed
    const char* later;  // then written there, relative to the scratch directory
  };
  for (const Case& step : {Case{"file moved", "a.moved", "a.moved"}, Case{"file removed", nullptr, nullptr},
                           Case{"directory moved", "d.moved", "d.moved/a.cfg"}}) {
    TempDir dir;
    ASSERT_EQ(mkdir(dir.File("d").c_str(), 0755), 0);
    const std::string path = dir.File("d/a.cfg");
    const std::string marker = dir.File("marker");
    WriteText(path, "a=1\n");
    WriteText(marker, "");
    InotifyWatchProperty watcher;
    std::mutex mutex;
    std::vector<std::thread::id> told;  // guarded by mutex: the path's, then the marker's
    const auto record = [&] {
      std::lock_guard<std::mutex> lock(mutex);
      told.push_back(std::this_thread::get_id());
    };
    CountingObserver observer(record);
    CountingObserver markerObserver(record);
    ASSERT_EQ(watcher.SetCallback(path, &observer), 0);
    ASSERT_EQ(watcher.SetCallback(marker, &markerObserver), 0);
    const std::string from = step.moved != nullptr && step.moved[0] == 'd' ? dir.File("d") : path;
    ASSERT_EQ(step.moved != nullptr ? rename(from.c_str(), dir.File(step.moved).c_str()) : unlink(path.c_str()), 0);
    ASSERT_TRUE(observer.WaitForCount(1)) << step.what;
    if (step.later != nullptr) {  // a removal may be told twice: by the name and by the file
      WriteText(dir.File(step.later), "a=2\n");
    }
    WriteText(marker, "m=1\n");
    ASSERT_TRUE(markerObserver.WaitForCount(1));
    if (step.later != nullptr) {
      EXPECT_EQ(observer.Count(), 1) << step.what << ": the file that lives on is still watched";
    }
    watcher.RemoveCallback(path, &observer);
    watcher.RemoveCallback(marker, &markerObserver);
    std::lock_guard<std::mutex> lock(mutex);  // not while a removal waits for a dispatch
    EXPECT_EQ(told.front(), told.back()) << step.what;
  }
}

// WatchPath takes a path before its file exists and follows the file through
// its whole life.
TEST(InotifyWatchPropertyTest, WatchPathFollowsAFileThatComesAndGoes) {
  TempDir dir;
  const std::string path = dir.File("a.cfg");
  const std::string temporary = dir.File(".a.cfg.tmp");
  InotifyWatchProperty watcher;
  CountingObserver observer;
  ASSERT_EQ(watcher.WatchPath(path, &observer), 0);

  const std::vector<std::pair<const char*, std::function<void()>>> steps = {
      {"appears", [&] { WriteText(path, "a=1\n"); }},
      {"replaced", [&] { WriteText(temporary, "a=2\n"); rename(temporary.c_str(), path.c_str()); }},
      {"removed", [&] { unlink(path.c_str()); }},
      {"created again", [&] { WriteText(path, "a=3\n"); }},
  };
  for (const auto& step : steps) {
    const int before = observer.Count();
    step.second();
    EXPECT_TRUE(observer.WaitForCount(before + 1)) << step.first;
  }
  watcher.RemoveCallback(path, &observer);
}

// Whether the kernel watch of directory `dir` on inotify descriptor `fd`
// asks for creates.
bool AsksForCreates(const std::string& fd, const std::string& dir) {
  struct stat info = {};
  if (stat(dir.c_str(), &info) != 0) return false;
  char inode[32];
  snprintf(inode, sizeof(inode), " ino:%lx ", static_cast<unsigned long>(info.st_ino));
  std::ifstream fdinfo("/proc/self/fdinfo/" + fd);
  for (std::string line; std::getline(fdinfo, line);) {
    const size_t mask = line.find(" mask:");
    if (line.find(inode) != std::string::npos && mask != std::string::npos) {
      return (std::stoul(line.substr(mask + 6), nullptr, 16) & IN_CREATE) != 0;
    }
  }
  return false;
}

// A writer's temporary wakes the watcher only while a path of its directory
// has no file: only then can a create matter.
TEST(InotifyWatchPropertyTest, TheDirectoryAsksForCreatesOnlyWhileAPathHasNoFile) {
  TempDir dir;
  const std::string a = dir.File("a.cfg");
  const std::string b = dir.File("b.cfg");
  WriteText(a, "a=1\n");
  const std::vector<std::string> before = store_test::InotifyDescriptors();
  InotifyWatchProperty watcher;
  const std::string fd = AddedDescriptor(before);
  CountingObserver aObserver;
  CountingObserver bObserver;
  ASSERT_EQ(watcher.SetCallback(a, &aObserver), 0);
  const std::string where = dir.File("");
  EXPECT_FALSE(AsksForCreates(fd, where)) << "every path names a file";

  struct Step {
    const char* what;
    std::function<void()> act;
    CountingObserver* told;  // waited for, when not null
    bool creates;
  };
  const Step steps[] = {
      {"a path without a file joins", [&] { ASSERT_EQ(watcher.WatchPath(b, &bObserver), 0); }, nullptr, true},
      {"its file appears", [&] { WriteText(b, "b=1\n"); }, &bObserver, false},
      {"a file is removed", [&] { unlink(a.c_str()); }, &aObserver, true},
      {"it is created again", [&] { WriteText(a, "a=2\n"); }, &aObserver, false},
  };
  for (const Step& step : steps) {
    const int told = step.told != nullptr ? step.told->Count() : 0;
    step.act();
    if (step.told != nullptr) {
      ASSERT_TRUE(step.told->WaitForCount(told + 1)) << step.what;
    }
    EXPECT_EQ(AsksForCreates(fd, where), step.creates) << step.what;
  }
  watcher.RemoveCallback(a, &aObserver);
  watcher.RemoveCallback(b, &bObserver);
}

// The end of the old file's watch, whether the kernel ended it (the file was
// freed) or the watcher did (the file lives on under another name), is
// handed to nobody: no message for the old watch, while the new file's
// writes are told.
TEST(InotifyWatchPropertyTest, TheEndOfAFilesWatchIsNotHandedOn) {
  for (const bool keptByALink : {false, true}) {
    LogCapture log;
    TempDir dir;
    const std::string path = dir.File("a.cfg");
    WriteText(path, "a=1\n");
    InotifyWatchProperty watcher;
    CountingObserver observer;
    ASSERT_EQ(watcher.SetCallback(path, &observer), 0);  // the file's watch is 1
    if (keptByALink) {
      ASSERT_EQ(link(path.c_str(), dir.File("a.link").c_str()), 0);
    }
    WriteText(dir.File("next"), "a=2\n");
    ASSERT_EQ(rename(dir.File("next").c_str(), path.c_str()), 0);
    ASSERT_TRUE(observer.WaitForCount(1));
    WriteText(path, "a=3\n");
    ASSERT_TRUE(observer.WaitForCount(2));
    EXPECT_FALSE(log.Contains(Watcher(ZU_LOG_INFO, "wd = 1;"))) << "kept by a link: " << keptByALink;
    watcher.RemoveCallback(path, &observer);
  }
}

TEST(InotifyWatchPropertyTest, ObserversInRegistrationOrderOnceEachAndRemoval) {
  LogCapture log;
  TempDir dir;
  const std::string path = dir.File("a.cfg");
  WriteText(path, "");
  std::mutex orderMutex;
  std::vector<char> order;
  auto record = [&](char name) {
    std::lock_guard<std::mutex> lock(orderMutex);
    order.push_back(name);
  };
  CountingObserver first([&] { record('A'); });
  CountingObserver second([&] { record('B'); });
  InotifyWatchProperty watcher;
  ASSERT_EQ(watcher.SetCallback(path, &first), 0);
  ASSERT_EQ(watcher.SetCallback(path, &second), 0);
  ASSERT_EQ(watcher.SetCallback(path, &first), 0);
  EXPECT_TRUE(log.Contains(Watcher(ZU_LOG_INFO, "This Observer is repeat")));
  EXPECT_TRUE(log.Contains(Watcher(ZU_LOG_INFO, "This filePath is already watched: " + path)));

  WriteText(path, "x=1\n");
  ASSERT_TRUE(second.WaitForCount(1));
  {
    std::lock_guard<std::mutex> lock(orderMutex);
    EXPECT_EQ(order, (std::vector<char>{'A', 'B'}));
  }

  EXPECT_EQ(watcher.RemoveCallback(path, &first), 0);
  EXPECT_EQ(watcher.RemoveCallback(path, &first), 0);
  EXPECT_TRUE(log.Contains(Watcher(ZU_LOG_INFO, "This remove Observer is null")));
  WriteText(path, "x=2\n");
  ASSERT_TRUE(second.WaitForCount(2)) << "removing one observer removed the watch";
  EXPECT_EQ(first.Count(), 1);

  EXPECT_EQ(watcher.RemoveCallback(path, &second), 0);
  log.Clear();
  EXPECT_EQ(watcher.RemoveCallback(path, &second), 0);
  EXPECT_TRUE(log.Contains(Watcher(ZU_LOG_INFO, "This filePath is not watched: " + path)));
}

TEST(InotifyWatchPropertyTest, AtMostTenPathsAndRemovingUnwatchedPathsCreatesNoWatch) {
  LogCapture log;
  TempDir dir;
  InotifyWatchProperty watcher;
  CountingObserver observer;
  std::vector<std::string> paths;
  for (int i = 0; i <= InotifyWatchProperty::WD_NUM; ++i) {
    paths.push_back(dir.File("f" + std::to_string(i)));
    WriteText(paths.back(), "");
  }
  // Removing from paths that are not watched must not use up the limit.
  for (const std::string& path : paths) {
    EXPECT_EQ(watcher.RemoveCallback(path, &observer), 0);
    EXPECT_TRUE(log.Contains(Watcher(ZU_LOG_INFO, "This filePath is not watched: " + path)));
  }
  for (int i = 0; i < InotifyWatchProperty::WD_NUM; ++i) {
    ASSERT_EQ(watcher.SetCallback(paths[static_cast<size_t>(i)], &observer), 0) << i;
  }
  log.Clear();
  const std::string& eleventh = paths.back();
  EXPECT_EQ(watcher.SetCallback(eleventh, &observer), -1);
  EXPECT_EQ(log.Lines(std::nullopt),
            (std::vector<LogLine>{Watcher(ZU_LOG_ERROR, "watchFileNumisMAX: " + eleventh + " >= WD_NUM: 10 "),
                                  Watcher(ZU_LOG_ERROR, "Remove callback fail: invalid wd!")}));

  EXPECT_EQ(watcher.RemoveCallback(paths[0], &observer), 0);
  EXPECT_EQ(watcher.SetCallback(eleventh, &observer), 0);
  WriteText(eleventh, "a=1\n");
  EXPECT_TRUE(observer.WaitForCount(1));
  for (size_t i = 1; i < paths.size(); ++i) watcher.RemoveCallback(paths[i], &observer);
}

TEST(InotifyWatchPropertyTest, RefusalsAreLogged) {
  LogCapture log;
  TempDir dir;
  InotifyWatchProperty watcher;
  CountingObserver observer;
  EXPECT_EQ(watcher.SetCallback(dir.File("present"), nullptr), -1);
  EXPECT_TRUE(log.Contains(Watcher(ZU_LOG_ERROR, "Remove callback fail: observer nullptr!")));
  // A missing file, or for WatchPath a file where a directory should be.
  WriteText(dir.File("file"), "");
  for (int (InotifyWatchProperty::*watch)(std::string, Observer*) :
       {&InotifyWatchProperty::SetCallback, &InotifyWatchProperty::WatchPath}) {
    log.Clear();
    EXPECT_EQ((watcher.*watch)(dir.File(watch == &InotifyWatchProperty::WatchPath ? "file/a" : "missing"), &observer), -1);
    EXPECT_EQ(log.Lines(std::nullopt), (std::vector<LogLine>{Watcher(ZU_LOG_ERROR, "inotify_add_watch"),
                                                             Watcher(ZU_LOG_ERROR, "Remove callback fail: invalid wd!")}));
  }
}

}  // namespace

namespace {

int OpenDescriptors() {
  int count = 0;
  for (const std::string& name : store_test::ListDirectory("/proc/self/fd")) count += name.empty() ? 0 : 1;
  return count;
}

// Without threads there is no watcher: the construction fails with the
// threads library's error, whichever of its two threads could not start,
// and leaves no descriptor and no thread behind.
TEST(InotifyWatchPropertyTest, AWatcherWhoseThreadsCannotStartIsNotMade) {
  const int before = OpenDescriptors();
  for (int succeeding : {0, 1}) {
    testing_support::ThreadCreationFailure failure(succeeding);
    EXPECT_THROW(InotifyWatchProperty watcher, std::system_error) << succeeding << " thread(s) started";
  }
  EXPECT_EQ(OpenDescriptors(), before);
}

}  // namespace
