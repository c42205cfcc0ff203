// property_get / property_set: the properties of "/etc/j-config/mj-gralloc.cfg".
//
// Any process that loads libproperty reads and writes the key=value pairs of
// that one file, from any thread. The library keeps the pairs in memory: the
// file is read on first use and again after another process (or this one)
// rewrote it, and every successful property_set rewrites the whole file.
//
//   char value[PROPERTY_VALUE_SIZE];
//   property_set("debug.level", "3");
//   int length = property_get("debug.level", value, "0");  // "3", 1
//
// Values hold at most 91 characters; the caller's buffer for property_get
// must hold PROPERTY_VALUE_SIZE (92) bytes. Keys and values are compared
// byte for byte. The file format and line rules: property/store/property_file.h.
//
// Thread safety: both functions serialise on one process-wide lock, which a
// change notification from the file watcher never waits for.
#ifndef PROPERTY_STORE_PROPERTY_API_H_
#define PROPERTY_STORE_PROPERTY_API_H_

#include "property/property_export.h"

// Size of property_get's value buffer: 91 characters and the NUL.
#define PROPERTY_VALUE_SIZE 92

#ifdef __cplusplus
extern "C" {
#endif

// Stores `value` under `key` and rewrites the file. Returns 0 once the value
// is stored in memory (also when the file is missing or not writable), -1
// when key or value is null, the key is empty, either contains a newline, or
// the value is longer than 91 characters.
PROPERTY_EXPORT int property_set(const char* key, const char* value);

// Copies the value stored under `key` into `value` (PROPERTY_VALUE_SIZE
// bytes), or `default_value` (may be null) when the key is absent or its
// value empty; both are cut to 91 characters. Returns the number of
// characters copied, 0 when nothing was copied.
PROPERTY_EXPORT int property_get(const char* key, char* value, const char* default_value);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // PROPERTY_STORE_PROPERTY_API_H_
