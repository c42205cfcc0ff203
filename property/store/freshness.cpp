#include "property/store/freshness.h"

bool Freshness::Quiet(const News& news) { return !news.told && news.changes == news.seen && news.counted; }

bool Freshness::Unchanged(const FileIdentity& known, const std::function<FileIdentity()>& now) {
  return known.trusted && now().Same(known);
}

uint64_t Freshness::SeenAfterRaise(uint64_t seen, uint64_t before, uint64_t raised) {
  return raised != 0 && raised == before + 1 ? raised : seen;
}

bool Freshness::MayRegister(std::string& watched, const std::string& path, const std::function<bool()>& exists) {
  if (watched.empty()) {
    watched = path;
    return true;
  }
  return path == watched && exists();
}
