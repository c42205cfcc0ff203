// ScopedPropertyWatch: property_watch for C++, ended when the object goes.
//
//   ScopedPropertyWatch level("debug.level", [](const char* key, const char* value) {
//     ApplyLevel(value != nullptr ? atoi(value) : 0);
//   });
//
// The callback runs as property_watch's does (property_api.h): on the
// library's thread, one call at a time, with the key and the new value
// (null when the pair was removed). The destructor calls property_unwatch,
// so once it has returned the callback is not running and will not run
// again; it must not run inside this watch's own callback, which would then
// outlive its std::function. Neither copied nor moved: the library holds
// this object's address.
#ifndef PROPERTY_STORE_SCOPED_PROPERTY_WATCH_H_
#define PROPERTY_STORE_SCOPED_PROPERTY_WATCH_H_

#include <functional>
#include <utility>

#include "property/store/property_api.h"

class ScopedPropertyWatch {
 public:
  using Callback = std::function<void(const char* key, const char* value)>;

  // Watches `key`; Active() tells whether property_watch took it.
  ScopedPropertyWatch(const char* key, Callback callback)
      : mCallback(std::move(callback)), mHandle(mCallback ? property_watch(key, &Trampoline, this) : -1) {}
  ~ScopedPropertyWatch() {
    if (mHandle > 0) property_unwatch(mHandle);
  }
  ScopedPropertyWatch(const ScopedPropertyWatch&) = delete;
  ScopedPropertyWatch& operator=(const ScopedPropertyWatch&) = delete;

  // True when the watch is in place.
  bool Active() const { return mHandle > 0; }

 private:
  static void Trampoline(const char* key, const char* value, void* self) {
    static_cast<ScopedPropertyWatch*>(self)->mCallback(key, value);
  }

  const Callback mCallback;  // set before the watch starts
  const int mHandle;
};

#endif  // PROPERTY_STORE_SCOPED_PROPERTY_WATCH_H_
