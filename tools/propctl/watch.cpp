#include "tools/propctl/watch.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "property/store/property_file.h"
#include "property/store/property_watch.h"
#include "tools/propctl/command_line.h"
#include "tools/propctl/exit_status.h"
#include "tools/propctl/stop_signals.h"

namespace {

// Where the changes go, and who hears that they could not.
struct Output {
  const StopSignals& stop;
  int error = 0;                    // why, once `failed` is set
  std::atomic<bool> failed{false};  // a write failed
};

// On the library's delivery thread, one call at a time. The first failed
// write (the reader gone, a full disk) ends the watch and writes nothing
// more.
void PrintChange(const char* key, const char* value, void* cookie) {
  Output& output = *static_cast<Output*>(cookie);
  if (output.failed) return;
  const int printed = value == nullptr ? printf("-%s\n", key) : printf("%s=%s\n", key, value);
  if (printed >= 0 && fflush(stdout) == 0) return;
  output.error = errno;
  output.failed = true;
  output.stop.Stop();
}

// Watches every key when `keys` is empty.
bool WatchKeys(PropertyWatch& watch, const std::vector<std::string>& keys, Output& output) {
  if (keys.empty()) return watch.Watch(nullptr, &PrintChange, &output) > 0;
  for (const std::string& key : std::set<std::string>(keys.begin(), keys.end())) {
    if (watch.Watch(key.c_str(), &PrintChange, &output) <= 0) return false;
  }
  return true;
}

// --timeout SECONDS in milliseconds; -1 when none was given.
bool ParseTimeout(const std::optional<std::string>& text, int& timeout_ms) {
  timeout_ms = -1;
  if (!text) return true;
  char* end = nullptr;
  const double seconds = strtod(text->c_str(), &end);
  if (end == text->c_str() || *end != '\0' || !(seconds >= 0)) return false;
  timeout_ms = seconds * 1000 >= INT_MAX ? INT_MAX : static_cast<int>(seconds * 1000);
  return true;
}

}  // namespace

int RunWatch(const CommandLine& line) {
  const std::string& path = line.file;
  // A reader that went away shows as a failed write on every thread, as it
  // does on the library's, which block SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  StopSignals stop;
  Output output{stop};
  PropertyFile file;
  PropertyWatch watch(file, path);
  if (!WatchKeys(watch, line.args, output)) {
    fprintf(stderr, "propctl: cannot watch %s\n", path.c_str());
    return kExitFile;
  }
  // Told once the watch is armed: a file that appears from then on shows
  // its pairs as new.
  if (access(path.c_str(), F_OK) != 0) fprintf(stderr, "propctl: waiting for %s\n", path.c_str());
  fprintf(stderr, "propctl: watching %s\n", path.c_str());
  stop.Wait();
  if (!output.failed) return kExitOk;
  // Told here with the system's reason, which stdout's error flag lacks.
  fprintf(stderr, "propctl: standard output: %s\n", strerror(output.error));
  clearerr(stdout);
  return kExitFile;
}

int RunWait(const CommandLine& line) {
  int timeout_ms = -1;
  if (line.args[0].empty() || !ParseTimeout(line.timeout, timeout_ms)) {
    fprintf(stderr, "propctl: usage: wait KEY VALUE [--timeout SECONDS]\n");
    return kExitUsage;
  }
  PropertyFile file;
  PropertyWatch watch(file, line.file);
  return watch.Wait(line.args[0].c_str(), line.args[1].c_str(), timeout_ms) == 0 ? kExitOk : kExitTimedOut;
}
