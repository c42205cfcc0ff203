// Several processes on "/etc/j-config/mj-gralloc.cfg" at once, each test on
// the private tmpfs and on a directory of the disk's file system
// bind-mounted there. The processes are the peer program; these tests only
// look at the file.
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/property/store/peer_process.h"
#include "tests/property/store/store_test_util.h"

namespace {

using store_test::kConfigDir;
using store_test::kConfigFile;
using store_test::PeerProcess;
using store_test::ReadText;
using store_test::RunPeer;
using store_test::WriteText;

constexpr int kBaseKeys = 100;
constexpr char kTemporary[] = ".mj-gralloc.cfg.tmp";

enum class Medium { kTmpfs, kDisk };

std::string BaseFile() {
  std::string text = "# shared by several processes\n";
  for (int i = 0; i < kBaseKeys; ++i) {
    char line[32];
    snprintf(line, sizeof(line), "base.%03d=value %d\n", i, i);
    text += line;
  }
  return text;
}

std::map<std::string, std::string> Pairs(const std::string& text) {
  return store_test::ParsePairs(text);
}

std::set<std::string> DirectoryEntries() {
  std::set<std::string> names;
  for (const std::string& name : store_test::ListDirectory(kConfigDir)) names.insert(name);
  return names;
}

class PropertyProcessesTest : public ::testing::TestWithParam<Medium> {
 protected:
  void SetUp() override {
    if (!store_test::ConfigDirIsPrivateTmpfs()) {
      GTEST_SKIP() << "/etc/j-config is not a private tmpfs; run through scripts/private-ns.sh";
    }
    for (const std::string& name : store_test::ListDirectory(kConfigDir)) {
      unlink((std::string(kConfigDir) + "/" + name).c_str());
    }
    if (GetParam() == Medium::kDisk) MountDiskDirectory();
    if (IsSkipped() || HasFatalFailure()) return;
    WriteText(kConfigFile, BaseFile());
  }

  void TearDown() override {
    if (mMounted) umount2(kConfigDir, MNT_DETACH);
    if (!mDiskDir.empty()) std::system(("rm -rf " + mDiskDir).c_str());
  }

  void MountDiskDirectory() {
    char pattern[] = "/var/tmp/property_disk.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr) << strerror(errno);
    mDiskDir = pattern;
    ASSERT_EQ(chmod(mDiskDir.c_str(), 0755), 0);
    struct statfs info = {};
    ASSERT_EQ(statfs(mDiskDir.c_str(), &info), 0);
    if (info.f_type == TMPFS_MAGIC) GTEST_SKIP() << "/var/tmp is a tmpfs on this machine";
    ASSERT_EQ(mount(mDiskDir.c_str(), kConfigDir, nullptr, MS_BIND, nullptr), 0) << strerror(errno);
    mMounted = true;
  }

  std::string mDiskDir;
  bool mMounted = false;
};

TEST_P(PropertyProcessesTest, WritersLoseNothingAndReadersNeverGetTheDefault) {
  constexpr int kWriters = 4;
  constexpr int kKeys = 40;
  PeerProcess reader({"read", "base.050"});
  std::string line;
  ASSERT_TRUE(reader.ReadLine(line));
  ASSERT_EQ(line, "ready");

  std::vector<std::unique_ptr<PeerProcess>> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.push_back(std::make_unique<PeerProcess>(std::vector<std::string>{"fill", "w" + std::to_string(w), std::to_string(kKeys)}));
  }
  for (auto& writer : writers) EXPECT_EQ(writer->Wait(), 0);
  reader.Signal(SIGTERM);
  ASSERT_TRUE(reader.ReadLine(line));
  EXPECT_EQ(reader.Wait(), 0) << line;

  const auto pairs = Pairs(ReadText(kConfigFile));
  int lost = 0;
  for (int i = 0; i < kBaseKeys; ++i) {
    char key[16];
    snprintf(key, sizeof(key), "base.%03d", i);
    lost += pairs.count(key) == 1 && pairs.at(key) == "value " + std::to_string(i) ? 0 : 1;
  }
  for (int w = 0; w < kWriters; ++w) {
    for (int i = 0; i < kKeys; ++i) {
      const std::string key = "w" + std::to_string(w) + "." + std::to_string(i);
      lost += pairs.count(key) == 1 && pairs.at(key) == std::to_string(i) ? 0 : 1;
    }
  }
  EXPECT_EQ(lost, 0);
  EXPECT_EQ(pairs.size(), static_cast<size_t>(kBaseKeys + kWriters * kKeys));
}

// Whenever the writer dies, the file is the whole old or the whole new
// one, and at most the one reusable temporary is left, which the next
// writer removes.
TEST_P(PropertyProcessesTest, AKilledWriterLeavesTheOldOrTheNewFile) {
  constexpr int kKills = 25;
  std::mt19937 random(std::random_device{}());
  for (int kill = 0; kill < kKills; ++kill) {
    PeerProcess churn({"churn", "churn.count"});
    std::string line;
    ASSERT_TRUE(churn.ReadLine(line));
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 4000));
    churn.Signal(SIGKILL);
    ASSERT_EQ(churn.Wait(), 128 + SIGKILL);

    const std::string text = ReadText(kConfigFile);
    const auto pairs = Pairs(text);
    ASSERT_EQ(pairs.count("churn.count"), 1u) << "kill " << kill << ":\n" << text;
    ASSERT_EQ(text, BaseFile() + "churn.count=" + pairs.at("churn.count") + "\n") << "kill " << kill;
    const std::set<std::string> entries = DirectoryEntries();
    EXPECT_TRUE(entries == std::set<std::string>({"mj-gralloc.cfg"}) ||
                entries == std::set<std::string>({"mj-gralloc.cfg", kTemporary}))
        << "kill " << kill << ": " << entries.size() << " entries";
  }
  ASSERT_EQ(RunPeer({"set", "after.kills", "1"}), 0);
  EXPECT_EQ(DirectoryEntries(), std::set<std::string>({"mj-gralloc.cfg"}));
}

// A watcher that knows nothing of the replace, watches the file it found
// for close-after-write only and never looks again, still hears of another
// process's set, and only once the new file is in place (the directory's
// rename event comes first): by the time that process has ended, both
// events are queued.
TEST_P(PropertyProcessesTest, ABareWatcherOfTheOldFileIsToldAfterTheReplace) {
  const int inotify = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  ASSERT_GE(inotify, 0);
  const int fileWatch = inotify_add_watch(inotify, kConfigFile, IN_CLOSE_WRITE);
  const int dirWatch = inotify_add_watch(inotify, kConfigDir, IN_MOVED_TO);
  ASSERT_GE(fileWatch, 0);
  ASSERT_GE(dirWatch, 0);
  ASSERT_EQ(RunPeer({"set", "bare", "1"}), 0);
  alignas(inotify_event) char buffer[8192];
  const ssize_t length = read(inotify, buffer, sizeof(buffer));
  close(inotify);
  ASSERT_GT(length, 0) << "no event queued";
  std::vector<std::string> order;
  for (ssize_t offset = 0; offset < length;) {
    const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
    if (event->wd == fileWatch && (event->mask & IN_CLOSE_WRITE) != 0) order.push_back("closed");
    if (event->wd == dirWatch && event->len > 0 && strcmp(event->name, "mj-gralloc.cfg") == 0) order.push_back("renamed");
    offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
  }
  EXPECT_EQ(order, std::vector<std::string>({"renamed", "closed"}));
  EXPECT_EQ(Pairs(ReadText(kConfigFile)).at("bare"), "1");
}

class PropertyPermissionsTest : public PropertyProcessesTest {
 protected:
  static constexpr uid_t kUser = 65534;
  static constexpr gid_t kGroup = 65534;

  void TearDown() override {
    chown(kConfigDir, 0, 0);
    chmod(kConfigDir, 0755);
    PropertyProcessesTest::TearDown();
  }

  static int SetAsUser(const char* key, const char* value) {
    return RunPeer({"as", std::to_string(kUser), std::to_string(kGroup), "set", key, value});
  }
};

TEST_P(PropertyPermissionsTest, ModeOwnerGroupAndSymlinkAreKept) {
  ASSERT_EQ(chown(kConfigFile, 1234, 5678), 0);
  ASSERT_EQ(chmod(kConfigFile, 0640), 0);
  struct stat before = {};
  ASSERT_EQ(stat(kConfigFile, &before), 0);
  ASSERT_EQ(RunPeer({"set", "kept", "1"}), 0);
  struct stat after = {};
  ASSERT_EQ(stat(kConfigFile, &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino) << "the file was not replaced";
  EXPECT_EQ(after.st_uid, 1234u);
  EXPECT_EQ(after.st_gid, 5678u);
  EXPECT_EQ(after.st_mode & 07777, 0640u);

  const std::string target = std::string(kConfigDir) + "/real.cfg";
  ASSERT_EQ(rename(kConfigFile, target.c_str()), 0);
  ASSERT_EQ(symlink("real.cfg", kConfigFile), 0);
  ASSERT_EQ(RunPeer({"set", "through.link", "2"}), 0);
  struct stat link = {};
  ASSERT_EQ(lstat(kConfigFile, &link), 0);
  EXPECT_TRUE(S_ISLNK(link.st_mode));
  const auto pairs = Pairs(ReadText(target));
  EXPECT_EQ(pairs.at("through.link"), "2");
  EXPECT_EQ(pairs.at("kept"), "1");
  EXPECT_EQ(DirectoryEntries(), std::set<std::string>({"mj-gralloc.cfg", "real.cfg"}));
}

// Only a caller that may open the file for writing changes it; one that
// may write the file but not the directory rewrites it in place; one that
// may not even open the directory still reads the file.
TEST_P(PropertyPermissionsTest, AccessToTheFileAndTheDirectoryDecidesHowItIsWritten) {
  ASSERT_EQ(chown(kConfigDir, kUser, kGroup), 0);
  ASSERT_EQ(chown(kConfigFile, kUser, kGroup), 0);
  ASSERT_EQ(chmod(kConfigFile, 0444), 0);
  const std::string before = ReadText(kConfigFile);
  EXPECT_EQ(SetAsUser("refused", "1"), 0);  // stored in that process only
  EXPECT_EQ(ReadText(kConfigFile), before);

  ASSERT_EQ(chown(kConfigDir, 0, 0), 0);
  ASSERT_EQ(chmod(kConfigFile, 0644), 0);
  struct stat old = {};
  ASSERT_EQ(stat(kConfigFile, &old), 0);
  EXPECT_EQ(SetAsUser("in.place", "1"), 0);
  struct stat now = {};
  ASSERT_EQ(stat(kConfigFile, &now), 0);
  EXPECT_EQ(now.st_ino, old.st_ino);
  const auto pairs = Pairs(ReadText(kConfigFile));
  EXPECT_EQ(pairs.at("in.place"), "1");
  EXPECT_EQ(pairs.count("refused"), 0u);
  EXPECT_EQ(pairs.size(), static_cast<size_t>(kBaseKeys + 1));
  EXPECT_EQ(DirectoryEntries(), std::set<std::string>({"mj-gralloc.cfg"}));

  // A reader that may not open the directory (to lock it) still reads.
  ASSERT_EQ(chmod(kConfigDir, 0711), 0);
  PeerProcess reader({"as", std::to_string(kUser), std::to_string(kGroup), "get", "in.place"});
  std::string line;
  ASSERT_TRUE(reader.ReadLine(line));
  EXPECT_EQ(line, "1");
  EXPECT_EQ(reader.Wait(), 0);
}

std::string MediumName(const ::testing::TestParamInfo<Medium>& info) {
  return info.param == Medium::kTmpfs ? "Tmpfs" : "Disk";
}

INSTANTIATE_TEST_SUITE_P(Media, PropertyProcessesTest, ::testing::Values(Medium::kTmpfs, Medium::kDisk), MediumName);
INSTANTIATE_TEST_SUITE_P(Media, PropertyPermissionsTest, ::testing::Values(Medium::kTmpfs, Medium::kDisk), MediumName);

}  // namespace
