#include "property/store/property_api.h"

#include <new>

#include "property/store/process_store.h"

namespace {

// The process-wide store lives in storage that outlasts its use: at exit
// other threads may still be inside property_get while the library's statics
// go, so the store is closed (emptied, and answering with defaults), never
// destroyed. It is empty until first used; the watcher starts then.
alignas(PropertyFile) unsigned char gStoreStorage[sizeof(PropertyFile)];

struct StoreLifetime {
  StoreLifetime() { new (gStoreStorage) PropertyFile; }
  ~StoreLifetime() { ProcessStore().Close(); }
  StoreLifetime(const StoreLifetime&) = delete;
  StoreLifetime& operator=(const StoreLifetime&) = delete;
} gStoreLifetime;

}  // namespace

PropertyFile& ProcessStore() { return *std::launder(reinterpret_cast<PropertyFile*>(gStoreStorage)); }

extern "C" {

PROPERTY_EXPORT int property_set(const char* key, const char* value) {
  return ProcessStore().Set(kPropertyConfigFile, key, value);
}

PROPERTY_EXPORT int property_get(const char* key, char* value, const char* default_value) {
  return ProcessStore().Get(kPropertyConfigFile, key, value, default_value);
}

}  // extern "C"
