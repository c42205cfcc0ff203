// InotifyEventDecoder: turns the bytes the watcher reads from its inotify
// descriptor into what the watcher must do, without touching inotify.
//
// A batch is a run of inotify_event records (a header and a NUL-padded name
// of `len` bytes each). Per record:
//   - a queue overflow: every path is looked at again, directories too, and
//     every observer is told;
//   - the end of a watch (IN_IGNORED): nobody is told; the watch is noted as
//     gone, so that the look that follows does not remove it again;
//   - an event of a directory watch (a create, a move or a removal of a name
//     in it, or of the directory itself): the paths are looked at again when
//     the table says the event concerns a watched path, and their
//     directories too when the directory itself moved or went;
//   - anything else (a watched file closed after writing): its watch's
//     observers must re-read, in the order the records came.
// A record whose name runs past the end of the batch ends it.
//
// Pure: the table's answer comes through the predicate; no lock is taken.
// Thread-safe as far as the predicate is.
#ifndef PROPERTY_STORE_INOTIFY_EVENT_DECODER_H_
#define PROPERTY_STORE_INOTIFY_EVENT_DECODER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include <sys/inotify.h>

// What one batch asks of the watcher, in this order: tell `reread`, look
// again (when `lookAgain`), tell every path (when `overflowed`).
struct InotifyDecision {
  std::vector<int32_t> reread;  // watches whose observers must re-read, one entry per record
  std::vector<int32_t> gone;    // watches the kernel has ended
  bool lookAgain = false;       // ask the kernel again for every watched path
  bool directoriesMoved = false;  // and for their directories
  bool overflowed = false;      // the kernel dropped events: tell every path
};

class InotifyEventDecoder {
 public:
  // True when an event of directory watch `wd` concerns a watched path;
  // `name` is the name in the directory, null for the directory itself.
  using Concerns = std::function<bool(int32_t wd, const char* name)>;

  // What the watcher asks of a watched file, and of its directory: what
  // can make a name that names a file name another one, or none (a create
  // matters only to a name that names nothing, and is asked for apart).
  static constexpr uint32_t kFileEvents = IN_CLOSE_WRITE;
  static constexpr uint32_t kDirectorySelfEvents = IN_MOVE_SELF | IN_DELETE_SELF;
  static constexpr uint32_t kDirectoryEvents = IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | kDirectorySelfEvents;

  InotifyEventDecoder() = delete;

  // Decodes `length` bytes of records at `buffer`, asking `concerns` about
  // each directory event. Returns the decision.
  static InotifyDecision Decode(const char* buffer, size_t length, const Concerns& concerns);
};

#endif  // PROPERTY_STORE_INOTIFY_EVENT_DECODER_H_
