#include "property/store/property_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "platform/boundck/bounds_checked.h"
#include "platform/log/zu_log.h"
#include "property/store/inotify_watch_property.h"

namespace {

constexpr char kTag[] = "MJPRPERYIES";

// Reads the whole file; false when it cannot be opened.
bool ReadFile(const std::string& path, std::string& text) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char chunk[4096];
  for (;;) {
    const ssize_t n = read(fd, chunk, sizeof(chunk));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(chunk, static_cast<size_t>(n));
  }
  close(fd);
  return true;
}

// Truncates the existing file in place (never creates one) and writes `text`.
bool WriteFile(const std::string& path, const std::string& text) {
  const int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) return false;
  const char* data = text.data();
  size_t left = text.size();
  while (left > 0) {
    const ssize_t n = write(fd, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    data += n;
    left -= static_cast<size_t>(n);
  }
  const bool closed = close(fd) == 0;
  return left == 0 && closed;
}

// Calls `fn` for each line of `text`, split at '\n' only; a last line
// without a newline counts, an empty text has no lines.
template <typename Fn>
void ForEachLine(const std::string& text, Fn fn) {
  std::string line;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    line.assign(text, start, end - start);
    fn(line);
    start = end + 1;
  }
}

// Inserts or replaces a pair. Not operator[] or insert_or_assign: their
// piecewise construction refers to std::piecewise_construct, which
// unoptimised builds emit as a GNU unique symbol, and such a symbol keeps
// the library from ever being unloaded.
void StorePair(PropertyFile::PropertyMap& pairs, const std::string& key, const std::string& value) {
  auto it = pairs.lower_bound(key);
  if (it != pairs.end() && it->first == key) {
    it->second = value;
    return;
  }
  pairs.emplace_hint(it, key, value);
}

// Copies the first `n` bytes of `src` and a NUL into `dest`.
bool CopyPrefix(char* dest, const char* src, size_t n) {
  if (memcpy_s(dest, n + 1, src, n) != 0) return false;
  dest[n] = '\0';
  return true;
}

int CopyStored(const std::string& stored, char* value) {
  if (stored.size() > PropertyFile::kMaxValueLength) {
    // Only the file itself can hold such a value; the buffer holds 92 bytes.
    return CopyPrefix(value, stored.data(), PropertyFile::kMaxValueLength)
               ? static_cast<int>(PropertyFile::kMaxValueLength)
               : 0;
  }
  if (strcpy_s(value, stored.size() + 1, stored.c_str()) != 0) return 0;
  return static_cast<int>(stored.size());
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

PropertyFile::PropertyFile() = default;

PropertyFile::~PropertyFile() { InotifyWatchProperty::GetInstance()->RemoveCallback(mWatchedPath, this); }

void PropertyFile::UpdateInotify() { mNeedReload.store(true, std::memory_order_release); }

bool PropertyFile::IsSpace(char c) const { return c == ' ' || c == '\t'; }

bool PropertyFile::IsCommentChar(char c) const { return c == '#'; }

void PropertyFile::Trim(std::string& str) const {
  size_t end = str.size();
  while (end > 0 && IsSpace(str[end - 1])) --end;
  size_t begin = 0;
  while (begin < end && IsSpace(str[begin])) ++begin;
  str.assign(str, begin, end - begin);
}

bool PropertyFile::AnalyseLine(const std::string& line, std::string& key, std::string& value) const {
  if (line.empty() || IsCommentChar(line[0])) return false;
  const auto comment =
      std::find_if(line.begin(), line.end(), [this](char c) { return IsCommentChar(c); });
  const std::string_view content(line.data(), static_cast<size_t>(comment - line.begin()));
  const size_t equals = content.find('=');
  if (equals == std::string_view::npos) return false;
  key.assign(content.substr(0, equals));
  value.assign(content.substr(equals + 1));
  Trim(key);
  Trim(value);
  return !key.empty();
}

bool PropertyFile::ReadConfig(std::string path) {
  if (mFileName.empty()) {
    mWatchedPath = path;
    InotifyWatchProperty::GetInstance()->SetCallback(path, this);
  }
  mFileName = path;
  mProperties.clear();
  std::string text;
  if (!ReadFile(path, text)) {
    ZuLogPrint(ZU_LOG_ERROR, kTag, "file open error fileName=%s", path.c_str());
    return false;
  }
  std::string key;
  std::string value;
  ForEachLine(text, [&](const std::string& line) {
    if (AnalyseLine(line, key, value)) StorePair(mProperties, key, value);
  });
  return true;
}

bool PropertyFile::WriteConfig(std::string path) const {
  std::string text;
  if (!ReadFile(path, text)) {
    ZuLogPrint(ZU_LOG_ERROR, kTag, "file write error fileName=%s", path.c_str());
    return false;
  }
  std::string rewritten;
  rewritten.reserve(text.size() + 64);
  std::string key;
  std::string value;
  ForEachLine(text, [&](const std::string& line) {
    if (AnalyseLine(line, key, value)) return;
    rewritten += line;
    rewritten += '\n';
  });
  for (const auto& [name, stored] : mProperties) {
    rewritten += name;
    rewritten += '=';
    rewritten += stored;
    rewritten += '\n';
  }
  return WriteFile(path, rewritten);
}

void PropertyFile::Refresh(const char* path) {
  if (mFileName.empty()) ReadConfig(path);
  // Cleared before the read: a change that lands during it asks again.
  if (mNeedReload.load(std::memory_order_acquire) && mNeedReload.exchange(false)) ReadConfig(path);
}

int PropertyFile::Get(const char* path, const char* key, char* value, const char* default_value) {
  std::lock_guard<std::mutex> lock(mMutex);
  if (key == nullptr || value == nullptr || key[0] == '\0') {
    ZuLogPrint(ZU_LOG_ERROR, kTag, "property key cannot be empty");
    return 0;
  }
  Refresh(path);
  const auto it = mProperties.find(std::string_view(key));
  if (it != mProperties.end() && !it->second.empty()) return CopyStored(it->second, value);
  return CopyDefault(default_value, value);
}

int PropertyFile::Set(const char* path, const char* key, const char* value) {
  return Store(path, key, value) == StoreResult::kRefused ? -1 : 0;
}

PropertyFile::PropertyMap PropertyFile::Snapshot(const char* path) {
  std::lock_guard<std::mutex> lock(mMutex);
  Refresh(path);
  return mProperties;
}

PropertyFile::StoreResult PropertyFile::Store(const char* path, const char* key, const char* value) {
  ZuLogPrint(ZU_LOG_INFO, kTag, "CONFIG_FILE: %s", path);
  std::lock_guard<std::mutex> lock(mMutex);
  if (key == nullptr || value == nullptr || key[0] == '\0') {
    ZuLogPrint(ZU_LOG_ERROR, kTag, "property key or value cannot be empty");
    return StoreResult::kRefused;
  }
  // A newline would split the written line into a different pair.
  if (strchr(key, '\n') != nullptr || strchr(value, '\n') != nullptr) {
    ZuLogPrint(ZU_LOG_ERROR, kTag, "property key or value cannot contain a newline");
    return StoreResult::kRefused;
  }
  if (strlen(value) > kMaxValueLength) {
    ZuLogPrint(ZU_LOG_ERROR, kTag, "property value lenth cannot more than %d",
               static_cast<int>(kMaxValueLength + 1));
    return StoreResult::kRefused;
  }
  // Re-read a changed file first, or the rewrite would drop what another
  // process wrote.
  Refresh(path);
  StorePair(mProperties, key, value);
  return WriteConfig(path) ? StoreResult::kWritten : StoreResult::kNotWritten;
}
