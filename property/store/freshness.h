// Freshness: whether the process cache (PropertyFile) must look at its file
// again before it answers, decided from what it was told and what it holds.
// The decisions are pure, so each can be tried without files; the cache
// gathers the inputs and acts on the answers.
//
// Three sources, cheapest first:
//   - the news: the watcher's flag (raised when the watched file was
//     rewritten, replaced, moved or removed) and the shared change counter
//     (raised by every library writer before its set returns). They prove
//     the pairs right only together, and only for a file that is watched
//     and existed when it was read: no flag, a counter attached, and its
//     value the one seen when the pairs were last known right;
//   - the file's identity now, which proves the file unchanged only where
//     the identity the pairs came from is trusted (see FileIdentity);
//   - otherwise the file is read.
// Registration: the first path read is the one watched; a registration the
// watcher refused is tried again for that path once the file exists.
//
// Threads: no state; the cache calls it under its own mutex.
#ifndef PROPERTY_STORE_FRESHNESS_H_
#define PROPERTY_STORE_FRESHNESS_H_

#include <cstdint>
#include <functional>
#include <string>

#include "property/store/atomic_file.h"

class Freshness {
 public:
  // What the news layer says when a call starts.
  struct News {
    bool told = false;      // the watcher's flag is raised
    bool counted = false;   // a change counter is attached
    uint64_t changes = 0;   // the counter's value now
    uint64_t seen = 0;      // its value when the pairs were last known right
  };

  Freshness() = delete;

  // Whether the news may be asked at all: the file is watched and existed
  // when it was read (a missing file's directory, and with it the watch,
  // may be gone).
  static bool Heeds(bool watching, bool existed) { return watching && existed; }

  // True when the news proves the pairs right. On false the cache lowers
  // the flag and takes `changes` as seen before it looks at the file, so
  // that a change landing during the look asks again.
  static bool Quiet(const News& news);

  // True when the file is proven the one the pairs came from: `known` is
  // trusted and `now()` (asked only then) is the same file.
  static bool Unchanged(const FileIdentity& known, const std::function<FileIdentity()>& now);

  // The counter value a writer takes as seen after its raise: `raised` when
  // its raise is the only change since it read `before` (it held the file),
  // `seen` otherwise (0 from the raise: no counter was raised by one).
  static uint64_t SeenAfterRaise(uint64_t seen, uint64_t before, uint64_t raised);

  // Whether `path` may be registered with the watcher now: the first path
  // read (which becomes `watched`), or `watched` again once `exists()`
  // (asked only then) says the file is there.
  static bool MayRegister(std::string& watched, const std::string& path, const std::function<bool()>& exists);
};

#endif  // PROPERTY_STORE_FRESHNESS_H_
