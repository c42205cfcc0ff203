#include "property/store/property_file.h"

#include <pthread.h>

#include <cstring>
#include <string_view>
#include <typeinfo>

#include "platform/boundck/bounds_checked.h"
#include "platform/log/zu_log.h"
#include "property/store/fork_registry.h"
#include "property/store/freshness.h"
#include "property/store/inotify_watch_property.h"
#include "property/store/property_format.h"

namespace {

constexpr char kTag[] = "MJPRPERYIES";

// Every PropertyFile alive in the process, for the fork handlers, linked
// through their mNextLive. Plain data with constant initialisation: nothing
// here is ever destroyed or allocated, so it serves objects that outlive the
// library's other statics at exit.
pthread_mutex_t gLiveMutex = PTHREAD_MUTEX_INITIALIZER;
PropertyFile* gLiveFiles = nullptr;  // guarded by gLiveMutex

void LogWriteFailure(const std::string& path, const AtomicFile::Failure& failure) {
  ZuLogPrint(ZU_LOG_ERROR, kTag, "file write error fileName=%s", path.c_str());
  ZuLogPrint(ZU_LOG_ERROR, kTag, "file write error: %s: %s", failure.step, strerror(failure.error));
}

// The value Unset passes to Store: the pair is removed instead of stored.
constexpr char kRemoved[] = "";

void ApplyPair(PropertyFile::PropertyMap& pairs, const std::string& key, const char* value) {
  if (value != kRemoved) {
    property_format::StorePair(pairs, key, value);
    return;
  }
  const auto it = pairs.find(key);
  if (it != pairs.end()) pairs.erase(it);
}

// The text of `pairs` and `kept` with the pair applied; `pairs` end as they
// were.
std::string RenderWithPair(PropertyFile::PropertyMap& pairs, const std::string& kept, const std::string& key,
                           const char* value) {
  const auto it = pairs.find(key);
  const bool had = it != pairs.end();
  const std::string old = had ? it->second : std::string();
  ApplyPair(pairs, key, value);
  std::string text = property_format::Render(kept, pairs);
  if (had) {
    property_format::StorePair(pairs, key, old);
  } else {
    pairs.erase(key);
  }
  return text;
}

// Copies the first `n` bytes of `src` and a NUL into `dest`.
bool CopyPrefix(char* dest, const char* src, size_t n) {
  if (memcpy_s(dest, n + 1, src, n) != 0) return false;
  dest[n] = '\0';
  return true;
}

int CopyStored(const std::string& stored, char* value) {
  // A NUL byte read from the file ends the value.
  const size_t length = strnlen(stored.c_str(), stored.size());
  if (length > PropertyFile::kMaxValueLength) {
    // Only the file itself can hold such a value; the buffer holds 92 bytes.
    return CopyPrefix(value, stored.data(), PropertyFile::kMaxValueLength)
               ? static_cast<int>(PropertyFile::kMaxValueLength)
               : 0;
  }
  if (strcpy_s(value, length + 1, stored.c_str()) != 0) return 0;
  return static_cast<int>(length);
}

int CopyDefault(const char* default_value, char* value) {
  if (default_value == nullptr) {
    value[0] = '\0';
    return 0;
  }
  const size_t n = strnlen(default_value, PropertyFile::kMaxValueLength);
  // Kept aside for the log: a failed copy may have cleared an overlapping
  // default, and the caller's buffer need not hold a NUL.
  char shown[PropertyFile::kMaxValueLength + 1];
  memcpy(shown, default_value, n);
  shown[n] = '\0';
  if (!CopyPrefix(value, default_value, n)) {
    ZuLogPrint(ZU_LOG_ERROR, kTag, "property_get failed: value: %s", shown);
    return 0;
  }
  return static_cast<int>(n);
}

}  // namespace

PropertyFile::PropertyFile() {
  // The watcher joins first, before any property file's mutex can be held
  // by a thread that would make it join.
  InotifyWatchProperty::PrepareForFork();
  static constexpr ForkRegistry::Participant kFork{&BeforeFork, &AfterForkInParent, &AfterForkInChild};
  ForkRegistry::Join(ForkRegistry::kFiles, &kFork);
  pthread_mutex_lock(&gLiveMutex);
  mNextLive = gLiveFiles;
  gLiveFiles = this;
  pthread_mutex_unlock(&gLiveMutex);
}

PropertyFile::~PropertyFile() {
  if (!mClosed) Unlink();
}

void PropertyFile::Unlink() {
  pthread_mutex_lock(&gLiveMutex);
  PropertyFile** link = &gLiveFiles;
  while (*link != this) link = &(*link)->mNextLive;
  *link = mNextLive;
  pthread_mutex_unlock(&gLiveMutex);
  // An object that never read a file registered nothing, and its going
  // must not start the watcher.
  if (!mWatchedPath.empty()) InotifyWatchProperty::GetInstance()->RemoveCallback(mWatchedPath, this);
}

void PropertyFile::Close() {
  {
    std::lock_guard<std::mutex> writing(mWriteMutex);
    std::lock_guard<std::mutex> lock(mMutex);
    if (mClosed) return;
    mClosed = true;
    PropertyMap().swap(mProperties);
    std::string().swap(mFileName);
    std::string().swap(mText);
    std::string().swap(mKept);
    mCounter.Detach();
  }
  // Outside mMutex: the removal waits for a dispatch whose observer may be
  // inside Get.
  Unlink();
  std::string().swap(mWatchedPath);
}

// A fork waits until no thread is inside any property file, so that the
// child finds the mutexes free and the pairs whole. The child's watcher
// watches nothing: its objects re-check the file on every call.
void PropertyFile::BeforeFork() {
  pthread_mutex_lock(&gLiveMutex);
  for (PropertyFile* file = gLiveFiles; file != nullptr; file = file->mNextLive) {
    file->mWriteMutex.lock();
    file->mMutex.lock();
  }
}

void PropertyFile::AfterForkInParent() {
  for (PropertyFile* file = gLiveFiles; file != nullptr; file = file->mNextLive) {
    file->mMutex.unlock();
    file->mWriteMutex.unlock();
  }
  pthread_mutex_unlock(&gLiveMutex);
}

void PropertyFile::AfterForkInChild() {
  for (PropertyFile* file = gLiveFiles; file != nullptr; file = file->mNextLive) {
    file->mRegistered = false;
    file->mWatching = false;
    file->mMutex.unlock();
    file->mWriteMutex.unlock();
  }
  pthread_mutex_unlock(&gLiveMutex);
}

void PropertyFile::UpdateInotify() { mNeedReload.store(true, std::memory_order_release); }

bool PropertyFile::IsSpace(char c) const { return property_format::IsBlank(c); }

bool PropertyFile::IsCommentChar(char c) const { return c == '#'; }

void PropertyFile::Trim(std::string& str) const { property_format::Trim(str); }

bool PropertyFile::AnalyseLine(const std::string& line, std::string& key, std::string& value) const {
  return property_format::ParseLine(line, key, value);
}

void PropertyFile::TryRegister(const std::string& path) {
  if (!mRegistered && !ForkRegistry::ForkedWhileJoined(ForkRegistry::kFiles) && MayRegister(path)) {
    InotifyWatchProperty* watcher = InotifyWatchProperty::GetInstance();
    // A class derived from this one may rely on UpdateInotify for news of
    // the file: it keeps its registration while the process idles.
    const bool cacheOnly = typeid(*this) == typeid(PropertyFile);
    mRegistered = (cacheOnly ? watcher->SetCallbackUntilIdle(path, this) : watcher->SetCallback(path, this)) == 0;
  }
  mWatching = mRegistered && path == mWatchedPath;
}

bool PropertyFile::MayRegister(const std::string& path) {
  // A missing file is not tried again on every call, so it does not log on
  // every call.
  return Freshness::MayRegister(mWatchedPath, path, [&path] { return AtomicFile::Stat(path).exists; });
}

void PropertyFile::KeepRegistered() {
  // Only a registration the watcher let go is made again here; one that
  // failed is tried again once the file changed (see Refresh).
  if (!mRegistered || InotifyWatchProperty::GetInstance()->IsObserving(mWatchedPath, this)) return;
  mRegistered = false;
  TryRegister(mFileName);
}

void PropertyFile::Split(const std::string& text, PropertyMap* pairs, std::string& kept) const {
  property_format::Split(text, pairs, kept);
}

void PropertyFile::Parse(const std::string& text) {
  mProperties.clear();
  mKept.clear();
  Split(text, &mProperties, mKept);
  mText = text;
  mUnwritten = false;
}

bool PropertyFile::ReadConfig(std::string path) {
  // Registered before the read: a change after it is told.
  TryRegister(path);
  const bool sameFile = path == mFileName;
  if (!sameFile) mCounter.Detach();
  mFileName = std::move(path);
  return Load(sameFile);
}

bool PropertyFile::Load(bool sameFile) {
  // Read before the file: a change counted after it asks again.
  mCounter.Attach(mFileName);
  mSeenChanges = mCounter.Value();
  std::string text;
  FileIdentity identity;
  AtomicFile::Failure failure;
  if (AtomicFile::Read(mFileName, text, identity, failure)) {
    mIdentity = identity;
    // The same text holds the same pairs, and a pair this process could not
    // write stays until the file really changes.
    if (!sameFile || text != mText) Parse(text);
    return true;
  }
  if (failure.error == EAGAIN && sameFile) {
    // Rewritten again and again while it was read: keep what was read last
    // and look again at the next call.
    mIdentity.trusted = false;
    mNeedReload.store(true, std::memory_order_relaxed);
    return false;
  }
  mIdentity = AtomicFile::Stat(mFileName);
  mProperties.clear();
  mText.clear();
  mKept.clear();
  mUnwritten = false;
  ZuLogPrint(ZU_LOG_ERROR, kTag, "file open error fileName=%s", mFileName.c_str());
  return false;
}

std::string PropertyFile::Render(const std::string& kept) const { return property_format::Render(kept, mProperties); }

bool PropertyFile::WriteConfig(std::string path) const {
  const auto render = [this](const std::string& current) {
    std::string kept;
    Split(current, nullptr, kept);
    return Render(kept);
  };
  const AtomicFile::RewriteResult result = AtomicFile::Rewrite(path, render);
  if (result.outcome == AtomicFile::Outcome::kWritten) return true;
  LogWriteFailure(path, result.failure);
  return false;
}

bool PropertyFile::IsAnotherFile(const char* path) const {
  return mFileName.empty() || strcmp(mFileName.c_str(), path) != 0;
}

void PropertyFile::Refresh(const char* path) {
  if (IsAnotherFile(path)) {
    ReadConfig(path);
    return;
  }
  // A missing file is looked for on every call: its directory may be gone
  // and with it the watch.
  // Without a counter, news of another process's set may still be on its
  // way: the file itself decides.
  if (Freshness::Heeds(mWatching, mIdentity.exists)) {
    const uint64_t changes = mCounter.Value();
    const bool told = mNeedReload.load(std::memory_order_acquire);
    if (Freshness::Quiet({told, mCounter.Attached(), changes, mSeenChanges})) return;
    // Cleared before the check: a change that lands during it asks again.
    mNeedReload.store(false, std::memory_order_relaxed);
    mSeenChanges = changes;
  }
  KeepRegistered();
  if (Freshness::Unchanged(mIdentity, [this] { return AtomicFile::Stat(mFileName); })) return;
  if (!mRegistered) TryRegister(mFileName);
  Load(true);
}

int PropertyFile::Get(const char* path, const char* key, char* value, const char* default_value) {
  std::lock_guard<std::mutex> lock(mMutex);
  if (key == nullptr || value == nullptr || key[0] == '\0') {
    ZuLogPrint(ZU_LOG_ERROR, kTag, "property key cannot be empty");
    return 0;
  }
  if (mClosed) return CopyDefault(default_value, value);
  Refresh(path);
  const auto it = mProperties.find(std::string_view(key));
  if (it != mProperties.end() && !it->second.empty()) return CopyStored(it->second, value);
  return CopyDefault(default_value, value);
}

PropertyFile::PropertyMap PropertyFile::Snapshot(const char* path) {
  std::lock_guard<std::mutex> lock(mMutex);
  if (mClosed) return {};
  Refresh(path);
  return mProperties;
}

const char* PropertyFile::Refusal(const char* key, const char* value) { return property_format::Refusal(key, value); }

int PropertyFile::Set(const char* path, const char* key, const char* value) {
  return Store(path, key, value) == StoreResult::kRefused ? -1 : 0;
}

int PropertyFile::Unset(const char* key) {
  std::string path;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    path = mFileName;
  }
  if (path.empty()) return -1;
  return Store(path.c_str(), key, kRemoved) == StoreResult::kWritten ? 0 : -1;
}

PropertyFile::StoreResult PropertyFile::Store(const char* path, const char* key, const char* value) {
  ZuLogPrint(ZU_LOG_INFO, kTag, "CONFIG_FILE: %s", path);
  if (const char* refusal = Refusal(key, value)) {
    ZuLogPrint(ZU_LOG_ERROR, kTag, "%s", refusal);
    return StoreResult::kRefused;
  }
  // Writers of this object take turns on mWriteMutex; mMutex is held only
  // for the pairs in memory, never while another process is waited for.
  std::lock_guard<std::mutex> writing(mWriteMutex);
  uint64_t changes = 0;
  // The text this object last read or wrote (while its pairs are that
  // text's), and what the set makes of it: the rewrite parses the file only
  // when another process changed it since.
  bool have_known = false;
  std::string known;
  std::string known_rendered;
  {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mClosed) return StoreResult::kRefused;
    if (IsAnotherFile(path)) ReadConfig(path);  // first use registers
    changes = mCounter.Value();
    have_known = !mUnwritten;
    if (have_known) {
      known = mText;
      known_rendered = RenderWithPair(mProperties, mKept, key, value);
    }
  }
  // The rewrite sees the file and those two texts only: the pairs in memory
  // are brought up to date once its locks are gone.
  const auto change = [&, key, value](const std::string& current) {
    if (have_known && current == known) return known_rendered;
    PropertyMap pairs;
    std::string kept;
    property_format::Split(current, &pairs, kept);
    ApplyPair(pairs, key, value);
    return property_format::Render(kept, pairs);
  };
  const AtomicFile::RewriteResult result = AtomicFile::Rewrite(path, change);
  if (result.outcome != AtomicFile::Outcome::kWritten) LogWriteFailure(path, result.failure);
  std::lock_guard<std::mutex> lock(mMutex);
  if (result.outcome == AtomicFile::Outcome::kUntouched) {
    // The file could not be locked or written: the pairs to keep are those
    // of its last version this process can read.
    mIdentity.trusted = false;
    mNeedReload.store(true, std::memory_order_relaxed);
    Refresh(path);
    ApplyPair(mProperties, key, value);
    mUnwritten = true;
    return StoreResult::kNotWritten;
  }
  // The file as the rewrite found it is the base; parsing is skipped when it
  // is the text this object last read or wrote.
  if (mUnwritten || result.current != mText) Parse(result.current);
  ApplyPair(mProperties, key, value);
  if (result.outcome == AtomicFile::Outcome::kFailed) {
    mUnwritten = true;  // until the file holds it
    return StoreResult::kNotWritten;
  }
  mIdentity = result.written;
  mText = result.text;
  // Raised before the set returns: whoever hears of the set afterwards
  // reads it. Only this raise since the read: this process holds the file.
  mSeenChanges = Freshness::SeenAfterRaise(mSeenChanges, changes, mCounter.Raise(path));
  return StoreResult::kWritten;
}
