// ObserverRegistry: which observers are registered for which watch (or key
// below -1) of the watcher, in registration order, and which of those
// registrations the watcher may let go while the process idles.
//
// It stores Observer pointers, never owns them, and never calls them: the
// watcher copies a list out and calls it without any lock of its own held.
// The map is the watcher's mObservers, referred to here; the registry and
// it are guarded by the watcher's mMutex, which every caller holds.
#ifndef PROPERTY_STORE_OBSERVER_REGISTRY_H_
#define PROPERTY_STORE_OBSERVER_REGISTRY_H_

#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "property/store/observer.h"

class ObserverRegistry {
 public:
  using Registration = std::pair<std::string, Observer*>;

  explicit ObserverRegistry(std::map<int32_t, std::list<Observer*>>& observers);
  // Moved only while the watcher puts it in place; never copied.
  ObserverRegistry(ObserverRegistry&&) = default;
  ObserverRegistry(const ObserverRegistry&) = delete;
  ObserverRegistry& operator=(const ObserverRegistry&) = delete;

  // Registers `observer` of `path` for watch `wd`, for good or until idle;
  // registered again, it takes the kind asked for now (a repeat of the same
  // kind is logged and changes nothing). Returns true when the registration
  // has just become one that may be let go (the idle time starts counting).
  bool Add(int32_t wd, const std::string& path, Observer* observer, bool untilIdle);
  // Removes the registration of `observer` of `path` from watch `wd`; true
  // if there was one (an unknown observer is logged). `lastOne` tells
  // whether `wd` has no observer left.
  bool Remove(int32_t wd, const std::string& path, Observer* observer, bool& lastOne);
  bool Has(int32_t wd, Observer* observer) const;
  // The observers of `wd`, in registration order; empty when none.
  std::list<Observer*> ObserversOf(int32_t wd) const;
  // Every watch (or key) that has observers.
  std::vector<int32_t> Keys() const;
  // Moves the observers of `from` to `to`, after those already there.
  void Move(int32_t from, int32_t to);

  // True when there are registrations and every one may be let go.
  bool AllReleasable() const;
  // Lets every registration go: returns those let go (all, since
  // AllReleasable), remembered as released until registered again or
  // removed.
  std::vector<Registration> ReleaseAll();
  // Forgets that `observer` of `path` was let go; true when it was.
  bool ForgetRelease(const std::string& path, Observer* observer);

 private:
  std::map<int32_t, std::list<Observer*>>& mObservers;
  std::vector<Registration> mUntilIdle;  // made through SetCallbackUntilIdle
  std::vector<Registration> mReleased;   // let go since, until registered again or removed
};

#endif  // PROPERTY_STORE_OBSERVER_REGISTRY_H_
