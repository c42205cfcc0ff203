// Whether the file watcher takes a path whose file does not exist yet
// (WatchPath); the tests of a watch that starts when its file appears skip
// until it does. Include only in a test linked against libproperty.
#ifndef TESTS_SUPPORT_MISSING_FILE_WATCH_H_
#define TESTS_SUPPORT_MISSING_FILE_WATCH_H_

#include <string>

#include "property/store/inotify_watch_property.h"
#include "property/store/observer.h"

namespace testing_support {

inline bool WatcherTakesMissingFiles() {
  struct Quiet : Observer {
    void UpdateInotify() override {}
  } probe;
  const std::string missing = "/tmp/.watch-probe-never-created";
  InotifyWatchProperty* watcher = InotifyWatchProperty::GetInstance();
  if (watcher->WatchPath(missing, &probe) != 0) return false;
  watcher->RemoveCallback(missing, &probe);
  return true;
}

}  // namespace testing_support

#endif  // TESTS_SUPPORT_MISSING_FILE_WATCH_H_
