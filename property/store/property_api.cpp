#include "property/store/property_api.h"

#include "property/store/process_store.h"

namespace {

// The empty process-wide property file, constructed when the library is
// loaded; the watcher starts on its first use, not here.
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
