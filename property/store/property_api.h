// property_get / property_set: the properties of "/etc/j-config/mj-gralloc.cfg".
//
// Any process that loads libproperty reads and writes the key=value pairs of
// that one file, from any thread. The library keeps the pairs in memory: the
// file is read on first use and again after another process rewrote it.
// Every successful property_set reads the file under a lock that all
// processes share, sets its one pair and replaces the file atomically, so
// that no process loses another's pair and no reader ever sees the file
// half written, also when a writer is killed.
//
//   char value[PROPERTY_VALUE_SIZE];
//   property_set("debug.level", "3");
//   int length = property_get("debug.level", value, "0");  // "3", 1
//
// Values hold at most 91 characters; the caller's buffer for property_get
// must hold PROPERTY_VALUE_SIZE (92) bytes. Keys and values are compared
// byte for byte; property_set refuses a pair that would not read back as
// itself. The file format, its line rules and what is refused:
// property/store/property_file.h.
//
// Thread safety: both functions serialise on one process-wide lock, which a
// change notification from the file watcher never waits for. They may be
// called from an observer of the watcher, and in a child forked while
// another thread was inside them.
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
// when key or value is null, the key is empty, either contains a newline or
// '#', the key contains '=', either begins or ends with a blank or a tab, or
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
