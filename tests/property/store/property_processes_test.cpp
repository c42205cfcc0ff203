// Several processes on "/etc/j-config/mj-gralloc.cfg" at once, each test on
// the private tmpfs and on a directory of the disk's file system
// bind-mounted there. The processes are the peer program; these tests only
// look at the file.
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <signal.h>
#include <sys/inotify.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <functional>
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

// The disk's file system, and a loop-mounted ext4 image whose 128-byte
// inodes keep whole seconds only.
enum class Medium { kTmpfs, kDisk, kCoarseTimes };

// The comment, `first` and `keys` pairs base.00000 ... (sorted, as a
// rewrite orders them).
std::string BaseFile(int keys = kBaseKeys, const std::string& first = "") {
  std::string text = "# shared by several processes\n" + first;
  for (int i = 0; i < keys; ++i) {
    char line[48];
    snprintf(line, sizeof(line), "base.%05d=value %d\n", i, i);
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
    if (GetParam() == Medium::kCoarseTimes) MountCoarseImage();
    if (IsSkipped() || HasFatalFailure()) return;
    WriteText(kConfigFile, BaseFile());
  }

  void TearDown() override {
    umount2(kConfigFile, MNT_DETACH);  // the file bound over itself
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

  void MountCoarseImage() {
    // A name of its own: tests running at once must not format each
    // other's mounted image.
    char pattern[] = "/var/tmp/property_coarse.XXXXXX";
    const int fd = mkstemp(pattern);
    ASSERT_GE(fd, 0) << strerror(errno);
    close(fd);
    mDiskDir = pattern;
    const std::string make = "truncate -s 8M " + mDiskDir + " && mkfs.ext4 -q -F -I 128 " + mDiskDir + " 2>/dev/null";
    ASSERT_EQ(std::system(make.c_str()), 0);
    ASSERT_EQ(std::system(("mount -o loop " + mDiskDir + " " + kConfigDir).c_str()), 0);
    mMounted = true;
  }

  // Binds the file over itself: it can no longer be replaced by rename, and
  // every write goes in place.
  static void ForceInPlace() { ASSERT_EQ(mount(kConfigFile, kConfigFile, nullptr, MS_BIND, nullptr), 0) << strerror(errno); }

  std::string mDiskDir;
  bool mMounted = false;
};

TEST_P(PropertyProcessesTest, WritersLoseNothingAndReadersNeverGetTheDefault) {
  constexpr int kWriters = 4;
  constexpr int kKeys = 40;
  PeerProcess reader({"read", "base.00050"});
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
    snprintf(key, sizeof(key), "base.%05d", i);
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
    PeerProcess churn({"churn", "a.churn"});
    std::string line;
    ASSERT_TRUE(churn.ReadLine(line));
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 4000));
    churn.Signal(SIGKILL);
    ASSERT_EQ(churn.Wait(), 128 + SIGKILL);

    const std::string text = ReadText(kConfigFile);
    const auto pairs = Pairs(text);
    ASSERT_EQ(pairs.count("a.churn"), 1u) << "kill " << kill << ":\n" << text;
    ASSERT_EQ(text, BaseFile(kBaseKeys, "a.churn=" + pairs.at("a.churn") + "\n")) << "kill " << kill;
    const std::set<std::string> entries = DirectoryEntries();
    EXPECT_TRUE(entries == std::set<std::string>({"mj-gralloc.cfg"}) ||
                entries == std::set<std::string>({"mj-gralloc.cfg", kTemporary}))
        << "kill " << kill << ": " << entries.size() << " entries";
  }
  ASSERT_EQ(RunPeer({"set", "after.kills", "1"}), 0);
  EXPECT_EQ(DirectoryEntries(), std::set<std::string>({"mj-gralloc.cfg"}));
}

// A writer in place that dies after any number of bytes written to the file
// leaves one that the next process to read it makes the whole old or the
// whole new file (on pages of its own: each write is cut where it was).
TEST_P(PropertyProcessesTest, AWriterKilledInPlaceLeavesAFileTheNextReadMakesWhole) {
  const std::string old = BaseFile(5000);
  const std::string renewed = BaseFile(5000, "a.new=" + std::string(80, 'n') + "\n");
  for (const long cut : {1L, 40L, 4096L, 60000L, 120000L, 150000L, 180000L, 1000000L}) {
    WriteText(kConfigFile, old);
    ForceInPlace();
    const int status = RunPeer({"die-writing", std::to_string(cut), "a.new", std::string(80, 'n')});
    ASSERT_EQ(RunPeer({"as", "0", "0", "get", "a.new"}), 0);
    const std::string text = ReadText(kConfigFile);
    EXPECT_TRUE(text == old || text == renewed) << "cut after " << cut << " bytes, status " << status;
    ASSERT_EQ(umount2(kConfigFile, MNT_DETACH), 0);
  }
}

// A replace is told through the directory (the name moved in), and nothing
// is told to a watcher of the old file, which nobody wrote: by the time the
// writer has ended, its events are queued.
TEST_P(PropertyProcessesTest, AReplaceIsToldThroughTheDirectoryAndNotAsAWriteOfTheOldFile) {
  const int inotify = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  ASSERT_GE(inotify, 0);
  const int fileWatch = inotify_add_watch(inotify, kConfigFile, IN_CLOSE_WRITE | IN_MODIFY);
  const int dirWatch = inotify_add_watch(inotify, kConfigDir, IN_MOVED_TO);
  ASSERT_GE(fileWatch, 0);
  ASSERT_GE(dirWatch, 0);
  ASSERT_EQ(RunPeer({"set", "bare", "1"}), 0);
  alignas(inotify_event) char buffer[8192];
  const ssize_t length = read(inotify, buffer, sizeof(buffer));
  close(inotify);
  ASSERT_GT(length, 0) << "no event queued";
  std::vector<std::string> told;
  for (ssize_t offset = 0; offset < length;) {
    const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
    if (event->wd == fileWatch && (event->mask & (IN_CLOSE_WRITE | IN_MODIFY)) != 0) told.push_back("written");
    if (event->wd == dirWatch && event->len > 0 && strcmp(event->name, "mj-gralloc.cfg") == 0) told.push_back("renamed");
    offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
  }
  EXPECT_EQ(told, std::vector<std::string>({"renamed"}));
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

  // A symlink is followed only when root or the directory's owner made it:
  // a user who may write the directory cannot point root's set elsewhere.
  ASSERT_EQ(chmod(target.c_str(), 0600), 0);
  for (const uid_t dirOwner : {kUser, uid_t{0}}) {
    ASSERT_EQ(chown(kConfigDir, dirOwner, kGroup), 0);
    ASSERT_EQ(unlink(kConfigFile), 0);
    ASSERT_EQ(symlink("real.cfg", kConfigFile), 0);
    ASSERT_EQ(lchown(kConfigFile, kUser, kGroup), 0);
    const std::string key = "link.in.dir.of." + std::to_string(dirOwner);
    ASSERT_EQ(RunPeer({"set", key.c_str(), "3"}), 0);
    EXPECT_EQ(Pairs(ReadText(target)).count(key), dirOwner == kUser ? 1u : 0u) << key;
  }
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

  // A caller that may not open the directory still reads, and writes in
  // place.
  ASSERT_EQ(chmod(kConfigDir, 0711), 0);
  ASSERT_EQ(chown(kConfigFile, kUser, kGroup), 0);
  EXPECT_EQ(SetAsUser("unlisted", "1"), 0);
  EXPECT_EQ(Pairs(ReadText(kConfigFile)).at("unlisted"), "1");
  PeerProcess reader({"as", std::to_string(kUser), std::to_string(kGroup), "get", "in.place"});
  std::string line;
  ASSERT_TRUE(reader.ReadLine(line));
  EXPECT_EQ(line, "1");
  EXPECT_EQ(reader.Wait(), 0);
}

// Readers on every path: after a rewrite that kept the size (and, on coarse
// times, the modification time), and whoever holds a lock or whatever the
// path names.
class PropertyPathsTest : public PropertyProcessesTest {};

// The state letter of /proc/PID/stat ('T': stopped).
char ProcessState(pid_t pid) {
  const std::string stat = ReadText("/proc/" + std::to_string(pid) + "/stat");
  const size_t end = stat.rfind(')');
  return end != std::string::npos && end + 2 < stat.size() ? stat[end + 2] : '?';
}

// An editor that sets the modification time back (cp -p, touch -r, rsync -t)
// keeps size and time on every file system.
TEST_P(PropertyPathsTest, ReadersSeeARewriteThatKeptSizeAndTime) {
  enum Writer { kEditor, kEditorKeepingTime, kLibraryInPlace };
  for (const Writer writer : {kEditor, kEditorKeepingTime, kLibraryInPlace}) {
    SCOPED_TRACE(writer);
    WriteText(kConfigFile, "stale.key=v1\n");
    struct stat first = {};
    ASSERT_EQ(stat(kConfigFile, &first), 0);
    PeerProcess reader({"await", "stale.key", "v3"});
    std::string line;
    ASSERT_TRUE(reader.ReadLine(line));
    if (writer == kLibraryInPlace) {
      ForceInPlace();
      ASSERT_EQ(RunPeer({"set", "stale.key", "v2"}), 0);
      ASSERT_EQ(RunPeer({"set", "stale.key", "v3"}), 0);
    } else {
      // Stopped, so that the reader looks only once the time is set back.
      reader.Signal(SIGSTOP);
      ASSERT_TRUE(store_test::WaitUntil([&] { return ProcessState(reader.Pid()) == 'T'; }));
      WriteText(kConfigFile, "stale.key=v2\n");  // in place, the same size
      WriteText(kConfigFile, "stale.key=v3\n");
      const timespec times[2] = {first.st_atim, first.st_mtim};
      if (writer == kEditorKeepingTime) {
        ASSERT_EQ(utimensat(AT_FDCWD, kConfigFile, times, 0), 0);
      }
      reader.Signal(SIGCONT);
    }
    EXPECT_EQ(reader.Wait(std::chrono::seconds(20)), 0);
  }
}

// Forks a process that, as a user who may only read, holds an exclusive
// flock on `path` until killed.
pid_t HoldLock(const char* path) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    const int fd = setresuid(65534, 65534, 65534) == 0 ? open(path, O_RDONLY) : -1;
    if (fd < 0 || flock(fd, LOCK_EX) != 0) _exit(1);
    if (write(ready[1], "x", 1) != 1) _exit(1);
    for (;;) pause();
  }
  char x;
  const bool held = read(ready[0], &x, 1) == 1;
  close(ready[0]);
  close(ready[1]);
  return held ? pid : -1;
}

TEST_P(PropertyPathsTest, NoLockHolderAndNoFileOfAnotherKindMakesAnyoneWait) {
  ASSERT_EQ(chmod(kConfigFile, 0644), 0);
  for (const char* held : {kConfigDir, kConfigFile, "fifo"}) {
    SCOPED_TRACE(held);
    WriteText(kConfigFile, BaseFile());
    pid_t holder = -1;
    if (strcmp(held, "fifo") == 0) {
      ASSERT_EQ(unlink(kConfigFile), 0);
      ASSERT_EQ(mkfifo(kConfigFile, 0644), 0);
    } else {
      holder = HoldLock(held);
      ASSERT_GT(holder, 0);
    }
    PeerProcess reader({"as", "0", "0", "get", "base.00001"});
    std::string line;
    ASSERT_TRUE(reader.ReadLine(line, std::chrono::seconds(10)));
    EXPECT_EQ(line, holder > 0 ? "value 1" : "");
    EXPECT_EQ(reader.Wait(std::chrono::seconds(10)), 0);
    PeerProcess writer({"set", "while.held", "1"});
    EXPECT_EQ(writer.Wait(std::chrono::seconds(10)), 0);  // the value stays in that process
    if (holder < 0) {
      EXPECT_EQ(unlink(kConfigFile), 0);
      continue;
    }
    EXPECT_EQ(Pairs(ReadText(kConfigFile)).count("while.held"), 0u);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    ASSERT_EQ(RunPeer({"set", "after.holder", "1"}), 0);
    EXPECT_EQ(Pairs(ReadText(kConfigFile)).at("after.holder"), "1");
  }
}

// A get that starts after another process's set returned (and told it so)
// sees that set.
TEST_P(PropertyPathsTest, AGetAfterAnotherProcesssSetSeesIt) {
  const std::string to = std::string(kConfigDir) + "/to-reader";
  const std::string from = std::string(kConfigDir) + "/from-reader";
  ASSERT_EQ(mkfifo(to.c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(from.c_str(), 0600), 0);
  PeerProcess reader({"causal-read", to, from});
  PeerProcess writer({"causal-write", "2000", to, from});
  EXPECT_EQ(writer.Wait(), 0);
  std::string line;
  ASSERT_TRUE(reader.ReadLine(line));
  EXPECT_EQ(reader.Wait(), 0) << line;
}

// Whatever a user leaves in /dev/shm where the change counter lives (or
// does to the counter while it is in use), no process crashes or hangs, and
// a get after another process's set still sees it.
TEST(PropertyCounterTest, NothingInDevShmCrashesHangsOrBlindsAnotherProcess) {
  if (!store_test::ConfigDirIsPrivateTmpfs()) GTEST_SKIP() << "run through scripts/private-ns.sh";
  constexpr uid_t kRoot = 0;
  constexpr uid_t kOwner = 1000;
  constexpr uid_t kOther = 65534;
  const auto counterName = [] {
    for (const std::string& name : store_test::ListDirectory("/dev/shm")) {
      if (name.rfind("mj-property.", 0) == 0) return "/dev/shm/" + name;
    }
    return std::string();
  };
  const auto makeCounter = [&] {
    EXPECT_EQ(RunPeer({"set", "made.counter", "1"}), 0);
    return counterName();
  };
  const auto squat = [&](bool asLink) {
    const std::string name = makeCounter();
    ASSERT_EQ(unlink(name.c_str()), 0);
    const std::string file = asLink ? "/dev/shm/elsewhere" : name;
    WriteText(file, std::string(4096, '\0'));
    ASSERT_EQ(chown(file.c_str(), kOther, kOther), 0);
    if (!asLink) return;
    ASSERT_EQ(symlink(file.c_str(), name.c_str()), 0);
    ASSERT_EQ(lchown(name.c_str(), kOther, kOther), 0);
  };
  struct Case {
    const char* name;
    mode_t mode;
    uid_t writer;
    uid_t reader;
    std::function<void()> prepare;
    bool shrinkWhileRunning;
  };
  const Case cases[] = {
      {"/dev/shm full before the first use", 0644, kRoot, kOther,
       [] {
         ASSERT_EQ(mount("shm", "/dev/shm", "tmpfs", MS_REMOUNT, "size=16k"), 0) << strerror(errno);
         const int fd = open("/dev/shm/filler", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
         const std::string block(4096, 'x');
         while (write(fd, block.data(), block.size()) > 0) {
         }
         close(fd);
       },
       false},
      {"a counter shrunk again and again by a user who may write the file", 0666, kOwner, kRoot,
       [&] { makeCounter(); }, true},
      {"a FIFO at the counter's name", 0644, kRoot, kOther,
       [&] {
         const std::string name = makeCounter();
         ASSERT_EQ(unlink(name.c_str()), 0);
         ASSERT_EQ(mkfifo(name.c_str(), 0666), 0);
       },
       false},
      {"a counter squatted by another user", 0644, kRoot, kOther, [&] { squat(false); }, false},
      {"a symlink squatted by another user", 0644, kRoot, kOther, [&] { squat(true); }, false},
      {"a counter left with the old owner after chown", 0644, kOwner, kRoot,
       [&] {
         makeCounter();
         ASSERT_EQ(chown(kConfigFile, kOwner, kOwner), 0);
       },
       false},
  };
  const std::string to = std::string(kConfigDir) + "/to-reader";
  const std::string from = std::string(kConfigDir) + "/from-reader";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(mount("shm", "/dev/shm", "tmpfs", 0, "size=1m,mode=1777"), 0) << strerror(errno);
    WriteText(kConfigFile, BaseFile());
    ASSERT_EQ(chmod(kConfigFile, c.mode), 0);
    c.prepare();
    for (const std::string& fifo : {to, from}) {
      unlink(fifo.c_str());
      ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
      ASSERT_EQ(chmod(fifo.c_str(), 0666), 0);
    }
    PeerProcess reader({"as", std::to_string(c.reader), std::to_string(c.reader), "causal-read", to, from});
    PeerProcess writer({"as", std::to_string(c.writer), std::to_string(c.writer), "causal-write", "300", to, from});
    std::atomic<bool> running{c.shrinkWhileRunning};
    std::thread shrinker([&] {
      const std::string name = counterName();
      while (running.load()) {
        if (truncate(name.c_str(), 0) != 0 || truncate(name.c_str(), 4096) != 0) break;
      }
    });
    EXPECT_EQ(writer.Wait(std::chrono::seconds(30)), 0);
    running = false;
    shrinker.join();
    std::string line;
    EXPECT_TRUE(reader.ReadLine(line, std::chrono::seconds(30)));
    EXPECT_EQ(reader.Wait(std::chrono::seconds(10)), 0) << line;
    ASSERT_EQ(umount2("/dev/shm", MNT_DETACH), 0);
  }
}

// A reader that idles gives its inotify instance back to the user's limit,
// and still sees what an editor changed meanwhile and changes after.
TEST_P(PropertyPathsTest, AnIdleReaderHoldsNoInotifyInstanceAndStillSeesChanges) {
  WriteText(kConfigFile, "idle.key=1\n");
  PeerProcess reader({"read-on-signal", "idle.key"});
  std::string line;
  ASSERT_TRUE(reader.ReadLine(line));
  ASSERT_EQ(line, "1");
  ASSERT_TRUE(store_test::WaitUntil([&] { return store_test::InotifyDescriptors(std::to_string(reader.Pid())).empty(); }));
  const std::string temporary = std::string(kConfigDir) + "/editor.tmp";
  for (const std::string value : {"2", "3"}) {
    WriteText(temporary, "idle.key=" + value + "\n");
    ASSERT_EQ(rename(temporary.c_str(), kConfigFile), 0);
    EXPECT_TRUE(store_test::WaitUntil([&] {
      reader.Signal(SIGUSR1);
      return reader.ReadLine(line) && line == value;
    })) << value;
  }
}

TEST_P(PropertyPathsTest, AProcessThatExitsWhileThreadsAreInsideTheLibraryEndsCleanly) {
  for (int run = 0; run < 20; ++run) ASSERT_EQ(RunPeer({"busy-exit"}), 0) << "run " << run;
}

// A write that finds no room leaves the file byte for byte, tells no
// watcher of the file, and keeps the value in this process until the file
// really changes.
TEST(PropertyNoRoomTest, AWriteThatFindsNoRoomChangesOnlyThisProcesssMemory) {
  if (!store_test::ConfigDirIsPrivateTmpfs()) GTEST_SKIP() << "run through scripts/private-ns.sh";
  ASSERT_EQ(mount("tmpfs", kConfigDir, "tmpfs", 0, "size=16k"), 0) << strerror(errno);
  std::string full;
  for (int i = 0; full.size() < 16300; ++i) full += "fill." + std::to_string(i) + "=" + std::string(80, 'f') + "\n";
  full.resize(full.rfind('\n', 16300) + 1);
  for (const bool inPlace : {false, true}) {
    SCOPED_TRACE(inPlace ? "in place" : "by rename");
    WriteText(kConfigFile, full);
    if (inPlace) {  // the directory refuses the temporary; the file may be written
      ASSERT_EQ(mount(kConfigDir, kConfigDir, nullptr, MS_BIND, nullptr), 0);
      ASSERT_EQ(mount(nullptr, kConfigDir, nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0);
      ASSERT_EQ(mount(kConfigFile, kConfigFile, nullptr, MS_BIND, nullptr), 0);
      ASSERT_EQ(mount(nullptr, kConfigFile, nullptr, MS_REMOUNT | MS_BIND, nullptr), 0);
    }
    const int watcher = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(inotify_add_watch(watcher, kConfigFile, IN_CLOSE_WRITE | IN_MODIFY), 0);
    PropertyFile store;
    const std::string value(PropertyFile::kMaxValueLength, 'v');
    EXPECT_EQ(store.Store(kConfigFile, "new.key", value.c_str()), PropertyFile::StoreResult::kNotWritten);
    EXPECT_EQ(ReadText(kConfigFile), full);
    char events[4096];
    EXPECT_LT(read(watcher, events, sizeof(events)), 0) << "told of a write that did not happen";
    close(watcher);
    char got[PropertyFile::kMaxValueLength + 1];
    store.UpdateInotify();  // news of some other process's close changes nothing
    store.Get(kConfigFile, "new.key", got, "gone");
    EXPECT_EQ(std::string(got), value);
    WriteText(kConfigFile, "other=1\n");
    store.UpdateInotify();
    store.Get(kConfigFile, "new.key", got, "gone");
    EXPECT_STREQ(got, "gone");
    if (inPlace) {
      umount2(kConfigFile, MNT_DETACH);
      umount2(kConfigDir, MNT_DETACH);
    }
  }
  umount2(kConfigDir, MNT_DETACH);
}

std::string MediumName(const ::testing::TestParamInfo<Medium>& info) {
  const char* const names[] = {"Tmpfs", "Disk", "CoarseTimes"};
  return names[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Media, PropertyProcessesTest, ::testing::Values(Medium::kTmpfs, Medium::kDisk), MediumName);
INSTANTIATE_TEST_SUITE_P(Media, PropertyPermissionsTest, ::testing::Values(Medium::kTmpfs, Medium::kDisk), MediumName);
INSTANTIATE_TEST_SUITE_P(Media, PropertyPathsTest,
                         ::testing::Values(Medium::kTmpfs, Medium::kDisk, Medium::kCoarseTimes), MediumName);

}  // namespace
