// Observer: the callback interface of the property file watcher.
//
// The watcher stores Observer pointers without owning them and calls
// UpdateInotify on one of its own threads, one call at a time, when a watched
// file was rewritten. The watcher's own mutex is not held then, so an
// implementation may take its own locks and call the property functions; it
// should still be short, since the next notification waits for it. An
// observer removes its registration before it is destroyed.
#ifndef PROPERTY_STORE_OBSERVER_H_
#define PROPERTY_STORE_OBSERVER_H_

#include "property/property_export.h"

class PROPERTY_EXPORT Observer {
 public:
  Observer() = default;
  Observer(const Observer&) = delete;
  Observer& operator=(const Observer&) = delete;

  // Called when a file this observer is registered for changed.
  virtual void UpdateInotify() = 0;

  virtual ~Observer();
};

#endif  // PROPERTY_STORE_OBSERVER_H_
