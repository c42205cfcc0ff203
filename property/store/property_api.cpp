#include "property/store/property_api.h"

#include "property/store/inotify_watch_property.h"
#include "property/store/process_store.h"

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
  return ProcessStore().Set(kPropertyConfigFile, key, value);
}

PROPERTY_EXPORT int property_get(const char* key, char* value, const char* default_value) {
  return ProcessStore().Get(kPropertyConfigFile, key, value, default_value);
}

}  // extern "C"
