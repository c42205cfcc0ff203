#include "tools/propctl/watch.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <set>

#include "property/store/inotify_watch_property.h"
#include "property/store/observer.h"
#include "property/store/property_file.h"
#include "tools/propctl/change_report.h"
#include "tools/propctl/exit_status.h"
#include "tools/propctl/stop_signals.h"
#include "tools/propctl/wake_pipe.h"

namespace {

constexpr int kRegisterRetryMs = 200;

// Runs on a watcher thread, one call at a time: it only wakes the
// main thread, which does the reading.
class ChangeSignal final : public Observer {
 public:
  explicit ChangeSignal(const WakePipe& pipe) : mPipe(pipe) {}
  void UpdateInotify() override { mPipe.Signal(); }

 private:
  const WakePipe& mPipe;
};

enum class Wake { kStop, kChange, kTimeout };

// Waits for a stop signal or a change, at most `timeout_ms` (-1: forever).
Wake WaitForWake(int stop_fd, int change_fd, int timeout_ms) {
  pollfd fds[] = {{stop_fd, POLLIN, 0}, {change_fd, POLLIN, 0}};
  for (;;) {
    const int ready = poll(fds, 2, timeout_ms);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return Wake::kTimeout;
    return (fds[0].revents & POLLIN) != 0 ? Wake::kStop : Wake::kChange;
  }
}

// A fresh object reads the file on its first use, whatever became of its
// own watcher registration.
PropertyFile::PropertyMap ReadPairs(const std::string& path) {
  PropertyFile file;
  return file.Snapshot(path.c_str());
}

enum class Registration {
  kWatching,   // registered at once
  kAppeared,   // registered after waiting for the file to appear
  kStopped,    // a stop signal came while waiting
  kFailed,     // the file is there but cannot be watched
};

// Registers `observer` for `path`, waiting for the file to appear.
Registration Register(const std::string& path, Observer& observer, const StopSignals& stop) {
  InotifyWatchProperty* watcher = InotifyWatchProperty::GetInstance();
  bool waited = false;
  while (watcher->SetCallback(path, &observer) != 0) {
    // Failing although the file is there (it may just have appeared): a
    // second try tells a real failure apart.
    if (access(path.c_str(), F_OK) == 0) {
      if (watcher->SetCallback(path, &observer) == 0) break;
      fprintf(stderr, "propctl: cannot watch %s\n", path.c_str());
      return Registration::kFailed;
    }
    if (!waited) fprintf(stderr, "propctl: waiting for %s\n", path.c_str());
    waited = true;
    if (WaitForWake(stop.Fd(), -1, kRegisterRetryMs) == Wake::kStop) return Registration::kStopped;
  }
  return waited ? Registration::kAppeared : Registration::kWatching;
}

// False when standard output could not be written.
bool Print(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) printf("%s\n", line.c_str());
  return fflush(stdout) == 0 && ferror(stdout) == 0;
}

// Reads the file after each change until a stop signal or an output
// error, printing what changed since `last`.
void Follow(const std::string& path, const std::set<std::string>& keys, PropertyFile::PropertyMap last,
            const StopSignals& stop, const WakePipe& changes) {
  while (WaitForWake(stop.Fd(), changes.ReadFd(), -1) == Wake::kChange) {
    // Drained before the read: a change during the read wakes us again.
    changes.Drain();
    PropertyFile::PropertyMap now = ReadPairs(path);
    if (!Print(DescribeChanges(last, now, keys))) return;
    last = std::move(now);
  }
}

}  // namespace

int RunWatch(const std::string& path, const std::vector<std::string>& keys) {
  StopSignals stop;
  WakePipe changes;
  ChangeSignal observer(changes);
  const Registration registration = Register(path, observer, stop);
  if (registration == Registration::kStopped) return kExitOk;
  if (registration == Registration::kFailed) return kExitFile;

  const std::set<std::string> watched(keys.begin(), keys.end());
  PropertyFile::PropertyMap first = ReadPairs(path);
  // An output error ends the watch; the caller reports it.
  if (registration == Registration::kWatching || Print(DescribeChanges({}, first, watched))) {
    fprintf(stderr, "propctl: watching %s\n", path.c_str());
    Follow(path, watched, std::move(first), stop, changes);
  }
  InotifyWatchProperty::GetInstance()->RemoveCallback(path, &observer);
  return kExitOk;
}
