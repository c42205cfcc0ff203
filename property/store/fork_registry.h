// The library's one set of fork handlers. The parts of the store that must
// be whole in a forked child (the property files, the watcher) join it with
// their rank; at a fork it runs their handlers in rank order, which is the
// order their locks are taken in (lock_order.h): every property file's locks
// before the watcher's. After the fork each part gives its locks back in the
// opposite order.
//
// The handlers are installed once, when the library is loaded (and removed
// when it is unloaded), so a child forked at any time after that is told
// apart, whether or not any part had joined.
//
// Threads and locks: Join from any thread, but never while holding a lock a
// part's fork handler takes (a Join waits for a fork in progress, and the
// fork for that lock); the parts join before they hold any. A fork runs
// exactly the parts that had joined when it began. Every state is constant-
// initialised and trivially destroyed, so threads that outlive the other
// statics at exit may still fork and ask.
#ifndef PROPERTY_STORE_FORK_REGISTRY_H_
#define PROPERTY_STORE_FORK_REGISTRY_H_

class ForkRegistry {
 public:
  // The parts, in the order a fork takes their locks.
  enum Rank { kFiles, kWatcher, kRanks };

  // A part's handlers, in static storage.
  struct Participant {
    void (*before)();           // takes the part's locks
    void (*after_in_parent)();  // gives them back
    void (*after_in_child)();   // gives them back; the parent's threads are gone
  };

  ForkRegistry() = delete;

  // Makes `participant` the part at `rank`, unless one has joined there
  // already (later calls change nothing).
  static void Join(Rank rank, const Participant* participant);
  // Whether this process is a child forked after the library was loaded.
  static bool InForkedChild();
  // Whether this process is a child forked while the part at `rank` had
  // joined (in this process or, for a grandchild, in its parent).
  static bool ForkedWhileJoined(Rank rank);
};

#endif  // PROPERTY_STORE_FORK_REGISTRY_H_
