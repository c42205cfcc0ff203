#include "property/store/ancestors.h"

#include <sys/inotify.h>

#include <algorithm>
#include <cerrno>

#include "property/store/inotify_event_decoder.h"

std::string Ancestors::DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

const char* Ancestors::NameOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path.c_str() : path.c_str() + slash + 1;
}

bool Ancestors::Follow(int fd, const std::string& path, int32_t& unused) {
  constexpr uint32_t kMask = InotifyEventDecoder::kDirectoryEvents | IN_CREATE | IN_ONLYDIR | IN_MASK_ADD;
  std::string missing = DirectoryOf(path);
  for (std::string above = DirectoryOf(missing); above != missing; above = DirectoryOf(missing)) {
    const int32_t wd = inotify_add_watch(fd, above.c_str(), kMask);
    if (wd == kNoWatch && errno == ENOENT) {
      missing = above;
      continue;
    }
    if (wd == kNoWatch) break;
    const std::string child = NameOf(missing);
    const auto it = Find(path);
    if (it != mList.end() && it->wd == wd && it->child == child) return false;
    unused = Forget(path);
    if (unused == wd) unused = kNoWatch;
    mList.push_back({path, wd, child});
    return true;
  }
  unused = Forget(path);
  return false;
}

int32_t Ancestors::Forget(const std::string& path) {
  const auto it = Find(path);
  if (it == mList.end()) return kNoWatch;
  const int32_t wd = it->wd;
  mList.erase(it);
  return Uses(wd) ? kNoWatch : wd;
}

bool Ancestors::Has(const std::string& path) const { return Find(path) != mList.end(); }

bool Ancestors::Uses(int32_t wd) const {
  return std::any_of(mList.begin(), mList.end(), [wd](const Entry& entry) { return entry.wd == wd; });
}

bool Ancestors::Concerns(int32_t wd, const char* name) const {
  return std::any_of(mList.begin(), mList.end(), [wd, name](const Entry& entry) {
    return entry.wd == wd && (name == nullptr || entry.child == name);
  });
}

std::vector<Ancestors::Entry>::const_iterator Ancestors::Find(const std::string& path) const {
  return std::find_if(mList.begin(), mList.end(), [&path](const Entry& entry) { return entry.path == path; });
}
