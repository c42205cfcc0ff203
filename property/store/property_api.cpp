#include "property/store/property_api.h"

#include <new>

#include "property/store/process_store.h"
#include "property/store/property_watch.h"

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
