// A second process for the property store tests. It is not linked against
// libproperty: it loads the library with dlopen, like a plug-in would.
//
//   property_peer set KEY VALUE   property_set in a process of its own;
//                                 exits with 0 when it returned 0
//   property_peer unload          loads and unloads the library three times
//                                 (once after using it) and checks that the
//                                 watcher's two threads come and go with it
#include <dirent.h>
#include <dlfcn.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

using SetFn = int (*)(const char*, const char*);
using GetFn = int (*)(const char*, char*, const char*);

int CountThreads() {
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = readdir(dir)) count += entry->d_name[0] != '.' ? 1 : 0;
  closedir(dir);
  return count;
}

// A joined thread may linger in /proc for a moment after pthread_join.
bool WaitForThreads(int expected) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (CountThreads() != expected) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void* Load() {
  void* library = dlopen(PROPERTY_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) fprintf(stderr, "dlopen: %s\n", dlerror());
  return library;
}

int Set(const char* key, const char* value) {
  void* library = Load();
  if (library == nullptr) return 2;
  auto set = reinterpret_cast<SetFn>(dlsym(library, "property_set"));
  const int result = set != nullptr ? set(key, value) : -2;
  dlclose(library);
  return result == 0 ? 0 : 1;
}

int Unload() {
  // A sanitizer runtime starts a helper thread of its own with the first
  // thread of the process; let that happen before counting.
  std::thread([] {}).join();
  const int before = CountThreads();
  for (int round = 0; round < 3; ++round) {
    void* library = Load();
    if (library == nullptr) return 2;
    if (!WaitForThreads(before + 2)) {
      fprintf(stderr, "round %d: %d threads after loading, expected %d\n", round, CountThreads(), before + 2);
      return 1;
    }
    if (round == 1) {
      auto get = reinterpret_cast<GetFn>(dlsym(library, "property_get"));
      char value[92];
      if (get == nullptr || get("unload.key", value, "x") != 1) return 1;
    }
    if (dlclose(library) != 0) {
      fprintf(stderr, "dlclose: %s\n", dlerror());
      return 1;
    }
    if (dlopen(PROPERTY_LIBRARY, RTLD_NOW | RTLD_NOLOAD) != nullptr) {
      fprintf(stderr, "round %d: the library stayed loaded\n", round);
      return 1;
    }
    if (!WaitForThreads(before)) {
      fprintf(stderr, "round %d: %d threads after unloading, expected %d\n", round, CountThreads(), before);
      return 1;
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && strcmp(argv[1], "set") == 0) return Set(argv[2], argv[3]);
  if (argc == 2 && strcmp(argv[1], "unload") == 0) return Unload();
  fprintf(stderr, "usage: %s set KEY VALUE | unload\n", argv[0]);
  return 2;
}
