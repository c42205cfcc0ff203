// The store's locks, in the one order every thread and process takes them,
// and the annotations that let clang check who holds which
// (-Wthread-safety; the annotations are empty for other compilers).
//
// A thread that holds a lock takes only locks ranked below it (a higher
// rank number). Ranks 5 and 6 are flock(2) locks shared by every process
// that writes the file; all others are mutexes of this process.
//
// | Rank | Lock                                   | Taken by                                          |
// |------|----------------------------------------|---------------------------------------------------|
// |  0   | ForkRegistry's join mutex              | a fork, from its first handler to its last (which |
// |      |                                        | take 2, 4, 7, then 8, 9, 10); ForkRegistry::Join. |
// |      |                                        | An observer may fork under 1: no handler takes 1  |
// |  1   | InotifyWatchProperty::mDispatchMutex   | the watcher's thread, while observers run (an     |
// |      |                                        | observer may get, set, register, unregister)      |
// |  2   | the list of live PropertyFiles         | PropertyFile's constructor, destructor, Close;    |
// |      | (gLiveMutex, property_file.cpp)        | the fork handlers, which then take 4 and 7 of     |
// |      |                                        | every object in list order                        |
// |  3   | PropertyWatch::mMutex                  | the watch API, never across a callback            |
// |  4   | PropertyFile::mWriteMutex              | Set, Store, Unset, Close: a whole rewrite         |
// |  5   | flock of the file's directory          | AtomicFile::Rewrite; a reader that recovers a     |
// |      |                                        | dead writer's journal (never waiting)             |
// |  6   | flock of the file                      | the same, after 5 (alone where the directory      |
// |      |                                        | cannot be opened)                                 |
// |  7   | PropertyFile::mMutex                   | Get, Snapshot, Close; Store before and after the  |
// |      |                                        | rewrite, never while 5 or 6 are held              |
// |  8   | the watcher's creation lock            | InotifyWatchProperty::GetInstance, fork handlers  |
// |  9   | InotifyWatchProperty::mMutex           | registration (under 7), dispatch copies           |
// | 10   | the watcher's table mutex              | the watcher, fork handlers                        |
//
// What waits on another process: only ranks 5 and 6, each for at most
// AtomicFile::kLockWaitMs. So rank 4 may be held that long, and a fork
// (which waits for every rank 4 and 7) may wait that long; rank 7 never
// waits for another process. The rewrite's callback runs under 5 and 6 and
// takes no lock at all.
//
// The annotations mark the locks of the internal classes only: exported
// classes keep their members' types (and so their layout).
#ifndef PROPERTY_STORE_LOCK_ORDER_H_
#define PROPERTY_STORE_LOCK_ORDER_H_

#if defined(__clang__)
#define STORE_THREAD_ANNOTATION(attribute) __attribute__((attribute))
#else
#define STORE_THREAD_ANNOTATION(attribute)
#endif

// A class whose objects are a lock.
#define CAPABILITY(name) STORE_THREAD_ANNOTATION(capability(name))
// The function may be called only with the locks held.
#define REQUIRES(...) STORE_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// The function takes the locks when it returns `result`.
#define TRY_ACQUIRE(result, ...) STORE_THREAD_ANNOTATION(try_acquire_capability(result, __VA_ARGS__))
// The function gives the locks back (no argument: the object itself).
#define RELEASE(...) STORE_THREAD_ANNOTATION(release_capability(__VA_ARGS__))

#endif  // PROPERTY_STORE_LOCK_ORDER_H_
