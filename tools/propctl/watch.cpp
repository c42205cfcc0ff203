#include "tools/propctl/watch.h"

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <set>

#include "property/store/property_file.h"
#include "property/store/property_watch.h"
#include "tools/propctl/exit_status.h"
#include "tools/propctl/stop_signals.h"

namespace {

// On the library's delivery thread, one call at a time.
void PrintChange(const char* key, const char* value, void* /*cookie*/) {
  if (value == nullptr) {
    printf("-%s\n", key);
  } else {
    printf("%s=%s\n", key, value);
  }
  fflush(stdout);
}

// Watches every key when `keys` is empty.
bool WatchKeys(PropertyWatch& watch, const std::vector<std::string>& keys) {
  if (keys.empty()) return watch.Watch(nullptr, &PrintChange, nullptr) > 0;
  for (const std::string& key : std::set<std::string>(keys.begin(), keys.end())) {
    if (watch.Watch(key.c_str(), &PrintChange, nullptr) <= 0) return false;
  }
  return true;
}

// "--timeout SECONDS" after KEY VALUE, in milliseconds (-1: none given).
bool ParseTimeout(const std::vector<std::string>& args, int& timeout_ms) {
  timeout_ms = -1;
  if (args.size() == 2) return true;
  if (args.size() != 4 || args[2] != "--timeout") return false;
  char* end = nullptr;
  const double seconds = strtod(args[3].c_str(), &end);
  if (end == args[3].c_str() || *end != '\0' || !(seconds >= 0)) return false;
  timeout_ms = seconds * 1000 >= INT_MAX ? INT_MAX : static_cast<int>(seconds * 1000);
  return true;
}

}  // namespace

int RunWatch(const std::string& path, const std::vector<std::string>& keys) {
  StopSignals stop;
  PropertyFile file;
  PropertyWatch watch(file, path);
  if (!WatchKeys(watch, keys)) {
    fprintf(stderr, "propctl: cannot watch %s\n", path.c_str());
    return kExitFile;
  }
  // Told once the watch is armed: a file that appears from then on shows
  // its pairs as new.
  if (access(path.c_str(), F_OK) != 0) fprintf(stderr, "propctl: waiting for %s\n", path.c_str());
  fprintf(stderr, "propctl: watching %s\n", path.c_str());
  stop.Wait();
  return kExitOk;
}

int RunWait(const std::string& path, const std::vector<std::string>& args) {
  int timeout_ms = -1;
  if (args[0].empty() || !ParseTimeout(args, timeout_ms)) {
    fprintf(stderr, "propctl: usage: wait KEY VALUE [--timeout SECONDS]\n");
    return kExitUsage;
  }
  PropertyFile file;
  PropertyWatch watch(file, path);
  return watch.Wait(args[0].c_str(), args[1].c_str(), timeout_ms) == 0 ? kExitOk : kExitTimedOut;
}
