#include "property/store/inotify_event_decoder.h"

#include <cstring>

InotifyDecision InotifyEventDecoder::Decode(const char* buffer, size_t length, const Concerns& concerns) {
  InotifyDecision decision;
  size_t offset = 0;
  while (offset + sizeof(inotify_event) <= length) {
    inotify_event event;
    memcpy(&event, buffer + offset, sizeof(event));
    const char* name = buffer + offset + sizeof(inotify_event);
    offset += sizeof(inotify_event) + event.len;
    if (offset > length) break;
    if ((event.mask & IN_Q_OVERFLOW) != 0) {
      decision.overflowed = true;
    } else if ((event.mask & IN_IGNORED) != 0) {
      decision.gone.push_back(event.wd);
    } else if ((event.mask & (kDirectoryEvents | IN_CREATE)) != 0) {
      const bool concerned = concerns(event.wd, event.len == 0 ? nullptr : name);
      decision.lookAgain = decision.lookAgain || concerned;
      decision.directoriesMoved = decision.directoriesMoved || (concerned && (event.mask & kDirectorySelfEvents) != 0);
    } else {
      decision.reread.push_back(event.wd);
    }
  }
  if (decision.overflowed) {
    decision.lookAgain = true;
    decision.directoriesMoved = true;
  }
  return decision;
}
