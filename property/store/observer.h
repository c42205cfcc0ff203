// Observer: the callback interface of the property file watcher.
//
// The watcher stores Observer pointers without owning them and calls
// UpdateInotify, on one of its own threads and with its own mutex held, when
// a watched file was rewritten. An implementation must therefore be short and
// must not call back into the watcher. An observer removes its registration
// before it is destroyed.
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
