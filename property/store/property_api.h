// property_get / property_set: the properties of "/etc/j-config/mj-gralloc.cfg".
//
// Any process that loads libproperty reads and writes the key=value pairs of
// that one file, from any thread. The library keeps the pairs in memory: the
// file is read on first use and again after another process changed it. A
// property_get that starts after another process's property_set returned
// sees that value (or a later one). Every property_set reads the file under
// locks that all processes share, sets its one pair and replaces the file
// atomically (or rewrites it in place through a journal), so that no process
// loses another's pair and no reader ever sees the file torn, also when a
// writer is killed. A writer waits for another process at most 2 s, a
// reader never. Loading the library costs nothing: its threads, its inotify
// instance and its shared counter come with the first use of the store.
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
// Thread safety: both functions serialise on one process-wide lock (a set
// also on a second one for its whole rewrite), which a change notification
// from the file watcher never waits for and which no thread holds while it
// waits for another process, except a set for its own rewrite. They may be
// called from an observer of the watcher, in a child forked while another
// thread was inside them, and while the process exits (the store then
// answers with defaults and refuses sets).
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

// Watching and waiting. A change is any change of a key's value made by any
// process, this one's own property_set included; also when the file is
// replaced, removed (the keys it held report null) or created again, and
// before it exists (the watch starts when it appears). Keys compare as in
// property_get.
//
// Callbacks run on one thread of the library, one at a time, with no lock
// held that property_get, property_set, property_watch or property_unwatch
// take: a callback may call those four, and a slow callback delays only
// the other callbacks. Changes may be coalesced (a value soon replaced may
// be skipped), but the last value of a key is always delivered, and the
// values of one key arrive in the order they were written. The thread
// starts with the first property_watch (or the first property_wait that
// has to block); at exit or unload it waits for a running callback.
//
// Fork: a child gets no watches and no thread. In the child property_watch
// and property_unwatch return -1, and property_wait returns 0 when the key
// already holds the value, -1 at once otherwise.

// Receives the key and its new value, null when the pair was removed. Both
// are valid for the duration of the call only.
typedef void (*property_change_fn)(const char* key, const char* value, void* cookie);

// Calls `fn` with `cookie` for every change of `key` from now on. Returns a
// handle > 0, or -1 when the key is null or empty or `fn` is null.
PROPERTY_EXPORT int property_watch(const char* key, property_change_fn fn, void* cookie);

// Ends the watch `handle`. Once it returns, the callback is not running and
// will not run again, also when it is called from inside that callback.
// Returns 0, or -1 for an unknown handle.
PROPERTY_EXPORT int property_unwatch(int handle);

// Waits until `key` holds `value` as property_get reads it (an empty value:
// absent or empty), at once and without a thread switch when it already
// does; a null `value` waits until the key's value differs from the one it
// holds at the call. A negative `timeout_ms` waits without limit. Returns 0
// once the condition held, -1 on time-out or for a null or empty key (and
// from inside a callback, where it cannot block).
PROPERTY_EXPORT int property_wait(const char* key, const char* value, int timeout_ms);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // PROPERTY_STORE_PROPERTY_API_H_
