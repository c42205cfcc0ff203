#include "property/store/watch_table.h"

#include <sys/inotify.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/log/zu_log.h"
#include "property/store/inotify_event_decoder.h"

namespace {

constexpr uint32_t kFileMask = InotifyEventDecoder::kFileEvents;
constexpr uint32_t kDirectoryMask = InotifyEventDecoder::kDirectoryEvents;
constexpr int32_t kNoWatch = Ancestors::kNoWatch;
// Levels a missing directory's wait may move down in one look.
constexpr int kAncestorLooks = 16;

bool IsMissingKey(int32_t wd) { return wd < kNoWatch; }

}  // namespace

WatchTable::WatchTable(int32_t& fd, std::list<WdName>& entries, int32_t& nextMissingKey, int64_t& count,
                       MoveFn moved, void* context)
    : mFd(fd), mEntries(entries), mNextMissingKey(nextMissingKey), mCount(count), mMoved(moved), mContext(context) {}

std::list<WdName>::iterator WatchTable::Find(const std::string& path) {
  return std::find_if(mEntries.begin(), mEntries.end(), [&path](const WdName& entry) { return entry.name == path; });
}

int WatchTable::Add(const std::string& path, bool fileMayBeMissing) {
  auto existing = Find(path);
  if (existing != mEntries.end()) {
    ZuLogPrint(ZU_LOG_INFO, nullptr, "This filePath is already watched: %s", path.c_str());
    return existing->wd;
  }
  if (mCount >= InotifyWatchProperty::WD_NUM) {
    ZuLogPrint(ZU_LOG_ERROR, nullptr, "watchFileNumisMAX: %s >= WD_NUM: %d ", path.c_str(),
               InotifyWatchProperty::WD_NUM);
    return -1;
  }
  WdName entry{inotify_add_watch(mFd, path.c_str(), kFileMask), path, kNoWatch};
  if (entry.wd != kNoWatch || fileMayBeMissing) FollowDirectory(entry);
  if (entry.dirWd == kNoWatch && !(fileMayBeMissing && mAncestors.Has(path))) {
    if (entry.wd != kNoWatch && !SharesWatch(entry.wd, entry)) inotify_rm_watch(mFd, entry.wd);
    LetGoOfAncestor(mAncestors.Forget(path));
    ZuLogPrint(ZU_LOG_ERROR, nullptr, "inotify_add_watch");
    return -1;
  }
  if (entry.wd == kNoWatch) entry.wd = mNextMissingKey--;
  FollowFile(entry, {});  // a replace before the directory was watched is told by neither watch
  mEntries.push_back(entry);
  ++mCount;
  return entry.wd;
}

int WatchTable::Remove(const std::string& path) {
  auto it = Find(path);
  if (it == mEntries.end()) {
    ZuLogPrint(ZU_LOG_INFO, nullptr, "This filePath is not watched: %s", path.c_str());
    return 0;
  }
  const int wd = it->wd;
  if (!IsMissingKey(wd) && !SharesWatch(wd, *it)) inotify_rm_watch(mFd, wd);
  if (it->dirWd != kNoWatch && !SharesDirectory(it->dirWd, *it) && !mAncestors.Uses(it->dirWd)) {
    inotify_rm_watch(mFd, it->dirWd);
  }
  mEntries.erase(it);
  LetGoOfAncestor(mAncestors.Forget(path));
  --mCount;
  DisarmCreates();
  return wd;
}

void WatchTable::Clear() {
  mCreatesArmed.clear();
  mAncestors.Clear();
  mEntries.clear();
  mCount = 0;
}

std::vector<int32_t> WatchTable::LookAgain(bool directoriesMoved, const std::vector<int32_t>& gone) {
  std::vector<int32_t> moved;
  for (WdName& entry : mEntries) {
    if (directoriesMoved || entry.dirWd == kNoWatch) FollowDirectory(entry);
    if (FollowFile(entry, gone) && std::find(moved.begin(), moved.end(), entry.wd) == moved.end()) {
      moved.push_back(entry.wd);
    }
  }
  DisarmCreates();
  return moved;
}

void WatchTable::FollowDirectory(WdName& entry) {
  int current = WatchDirectory(entry.name);
  // A missing directory is waited for in the nearest one above that exists;
  // each level made meanwhile moves the wait one level down. The bound
  // keeps a directory made and removed over and over from holding the lock.
  int32_t unused = kNoWatch;
  for (int looks = 0; current == kNoWatch && errno == ENOENT && looks < kAncestorLooks; ++looks) {
    const bool moved = mAncestors.Follow(mFd, entry.name, unused);
    LetGoOfAncestor(unused);
    if (!moved) break;
    current = WatchDirectory(entry.name);
  }
  if (current != kNoWatch) LetGoOfAncestor(mAncestors.Forget(entry.name));
  if (current == entry.dirWd) return;
  // A directory moved away keeps its watch: drop it, or events of the
  // name there would still count.
  if (entry.dirWd != kNoWatch && !SharesDirectory(entry.dirWd, entry) && !mAncestors.Uses(entry.dirWd)) {
    inotify_rm_watch(mFd, entry.dirWd);
  }
  entry.dirWd = current;
}

bool WatchTable::FollowFile(WdName& entry, const std::vector<int32_t>& gone) {
  int current = inotify_add_watch(mFd, entry.name.c_str(), kFileMask);
  // A file created before the directory told of creates would be told by
  // nothing: the path is looked at once more after.
  if (current == kNoWatch && ArmCreates(entry)) {
    current = inotify_add_watch(mFd, entry.name.c_str(), kFileMask);
  }
  if (current == kNoWatch) {
    if (IsMissingKey(entry.wd)) return false;
    current = mNextMissingKey--;
  }
  if (current == entry.wd) return false;
  // The path names another file now, or none: its observers follow it, and
  // the old file (which may live on under another name) is no longer
  // watched unless another path still names it.
  const int previous = entry.wd;
  entry.wd = current;
  const bool removed = std::find(gone.begin(), gone.end(), previous) != gone.end();
  if (!IsMissingKey(previous) && !removed && !SharesWatch(previous, entry)) inotify_rm_watch(mFd, previous);
  mMoved(mContext, previous, current);
  return true;
}

bool WatchTable::Concerns(int32_t wd, const char* name) const {
  return mAncestors.Concerns(wd, name) || std::any_of(mEntries.begin(), mEntries.end(), [wd, name](const WdName& entry) {
           return entry.dirWd == wd && (name == nullptr || strcmp(name, Ancestors::NameOf(entry.name)) == 0);
         });
}

int WatchTable::WatchDirectory(const std::string& path) {
  // IN_MASK_ADD keeps the creates another path of the directory asked for.
  return inotify_add_watch(mFd, Ancestors::DirectoryOf(path).c_str(), kDirectoryMask | IN_ONLYDIR | IN_MASK_ADD);
}

bool WatchTable::ArmCreates(const WdName& entry) {
  if (entry.dirWd == kNoWatch || IsArmed(entry.dirWd)) return false;
  const uint32_t mask = kDirectoryMask | IN_CREATE | IN_ONLYDIR;
  if (inotify_add_watch(mFd, Ancestors::DirectoryOf(entry.name).c_str(), mask) != entry.dirWd) return false;
  mCreatesArmed.push_back(entry.dirWd);
  return true;
}

bool WatchTable::IsArmed(int32_t dirWd) const {
  return std::find(mCreatesArmed.begin(), mCreatesArmed.end(), dirWd) != mCreatesArmed.end();
}

void WatchTable::DisarmCreates() {
  for (auto armed = mCreatesArmed.begin(); armed != mCreatesArmed.end();) {
    const int32_t dirWd = *armed;
    auto waiting = std::find_if(mEntries.begin(), mEntries.end(), [dirWd](const WdName& entry) {
      return entry.dirWd == dirWd && IsMissingKey(entry.wd);
    });
    if (waiting != mEntries.end() || mAncestors.Uses(dirWd)) {
      ++armed;
      continue;
    }
    auto inside = std::find_if(mEntries.begin(), mEntries.end(),
                               [dirWd](const WdName& entry) { return entry.dirWd == dirWd; });
    if (inside != mEntries.end()) {
      inotify_add_watch(mFd, Ancestors::DirectoryOf(inside->name).c_str(), kDirectoryMask | IN_ONLYDIR);
    }
    armed = mCreatesArmed.erase(armed);
  }
}

bool WatchTable::SharesDirectory(int32_t dirWd, const WdName& except) const {
  return std::any_of(mEntries.begin(), mEntries.end(),
                     [&](const WdName& entry) { return &entry != &except && entry.dirWd == dirWd; });
}

bool WatchTable::SharesWatch(int32_t wd, const WdName& except) const {
  return std::any_of(mEntries.begin(), mEntries.end(),
                     [&](const WdName& entry) { return &entry != &except && entry.wd == wd; });
}

void WatchTable::LetGoOfAncestor(int32_t wd) {
  if (wd == kNoWatch) return;
  const bool lived =
      std::any_of(mEntries.begin(), mEntries.end(), [wd](const WdName& entry) { return entry.dirWd == wd; });
  if (!lived) {
    inotify_rm_watch(mFd, wd);
  } else if (!IsArmed(wd)) {
    mCreatesArmed.push_back(wd);
  }
}
