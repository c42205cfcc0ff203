#include "property/store/property_api.h"

#include "property/store/inotify_watch_property.h"
#include "property/store/process_store.h"
#include "property/store/property_watch.h"

namespace {

// Constructed in this order when the library is loaded and destroyed in the
// reverse order when it is unloaded: the watcher (its two threads start),
// then the empty process-wide property file, which removes its registration
// before the watcher goes.
[[maybe_unused]] InotifyWatchProperty* const gInotifyWatch = InotifyWatchProperty::GetInstance();
PropertyFile gPropertyFile;

}  // namespace

PropertyFile& ProcessStore() { return gPropertyFile; }

extern "C" {

PROPERTY_EXPORT int property_set(const char* key, const char* value) {
  const int result = ProcessStore().Set(kPropertyConfigFile, key, value);
  if (result == 0) PokeProcessWatch();
  return result;
}

PROPERTY_EXPORT int property_get(const char* key, char* value, const char* default_value) {
  return ProcessStore().Get(kPropertyConfigFile, key, value, default_value);
}

PROPERTY_EXPORT int property_watch(const char* key, property_change_fn fn, void* cookie) {
  if (key == nullptr) return -1;  // null means every key to PropertyWatch
  return ProcessWatch().Watch(key, fn, cookie);
}

PROPERTY_EXPORT int property_unwatch(int handle) { return ProcessWatch().Unwatch(handle); }

PROPERTY_EXPORT int property_wait(const char* key, const char* value, int timeout_ms) {
  return ProcessWatch().Wait(key, value, timeout_ms);
}

}  // extern "C"
