// A second process for the property store tests. It is not linked against
// libproperty: it loads the library with dlopen, like a plug-in would.
//
//   property_peer set KEY VALUE   property_set in a process of its own;
//                                 exits with 0 when it returned 0
//   property_peer fill PREFIX N   sets PREFIX.0 .. PREFIX.<N-1> to their
//                                 numbers; exits with 0 when every set did
//   property_peer read KEY        reads KEY over and over until SIGTERM
//                                 (prints "ready" after the first read),
//                                 then prints "reads=R defaults=D" and exits
//                                 with 0 when it read R > 0 times and never
//                                 got the default
//   property_peer read-on-signal KEY
//                                 prints KEY's value, and again at every
//                                 SIGUSR1, until SIGTERM
//   property_peer churn KEY       sets KEY to 1, 2, 3 ... until killed (every
//                                 other value longer, so that each rewrite
//                                 moves every later line); prints "ready"
//                                 after the first set
//   property_peer as UID GID set KEY VALUE | as UID GID get KEY
//                                 the set (or a get that prints the value),
//                                 after loading the library, as that user
//                                 and group; as UID GID COMMAND ... runs
//                                 any other command as that user
//   property_peer await KEY VALUE reads KEY until it holds VALUE (prints
//                                 "ready" after the first read), then exits
//                                 with 0
//   property_peer die-writing N KEY VALUE
//                                 the set, killed by SIGKILL once it has
//                                 written N bytes to the property file
//   property_peer causal-write N TO FROM | causal-read TO FROM
//                                 the writer sets causal.key to 1..N and
//                                 after each set tells the reader its number
//                                 over the FIFO TO; the reader gets the key
//                                 at once and answers over FROM; it exits
//                                 with 0 when no get saw an older value
//   property_peer busy-exit       exits while four threads are inside
//                                 property_get and property_set
//   property_peer unload          loads and unloads the library three times
//                                 and checks that loading starts no thread
//                                 and opens no inotify instance, that using
//                                 it (round 1, with descriptor 0 free)
//                                 starts the watcher's two threads and one
//                                 close-on-exec inotify instance (started
//                                 from a SCHED_FIFO thread, they run under
//                                 SCHED_OTHER and block SIGTERM), and that
//                                 unloading leaves none of them
//   property_peer idle-after WHAT reads a property, then: get (nothing
//                                 more), wait (a property_wait that times
//                                 out), unwatch (a watch and its unwatch),
//                                 unwatch-inside (a watch that ends itself
//                                 from its callback, run by a set); prints
//                                 "done" and idles until killed
//   property_peer make PATH [TEXT] makes the missing directories of PATH,
//                                 one level at a time, then writes TEXT to
//                                 it when given
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

// Runs the command named by argv[1]; main's contract.
int Run(int argc, char** argv);

namespace {

using SetFn = int (*)(const char*, const char*);
using GetFn = int (*)(const char*, char*, const char*);

constexpr char kDefault[] = "\001default";

volatile std::sig_atomic_t gStop = 0;

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

// The inotify instances of this process, and whether each is close-on-exec.
int CountInotify(bool* allCloseOnExec) {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = readdir(dir)) {
    char target[64] = "";
    const std::string link = std::string("/proc/self/fd/") + entry->d_name;
    if (readlink(link.c_str(), target, sizeof(target) - 1) <= 0 || strcmp(target, "anon_inode:inotify") != 0) continue;
    ++count;
    *allCloseOnExec &= (fcntl(atoi(entry->d_name), F_GETFD) & FD_CLOEXEC) != 0;
  }
  closedir(dir);
  return count;
}

// Checks the library's threads and inotify instances: `threads` more than
// `before`, and as many instances as watchers.
bool Expect(int round, const char* when, int before, int threads) {
  bool closeOnExec = true;
  const int instances = CountInotify(&closeOnExec);
  // A watcher idle for half a second may have given its instance back.
  const int expectedInstances = threads == 0 ? 0 : 1;
  if (WaitForThreads(before + threads) && instances <= expectedInstances && closeOnExec) return true;
  fprintf(stderr, "round %d, %s: %d threads (expected %d), %d inotify instances (expected %d)%s\n", round, when,
          CountThreads(), before + threads, instances, expectedInstances, closeOnExec ? "" : ", not close-on-exec");
  return false;
}

bool WaitUntilGone(pid_t tid) {
  const std::string path = "/proc/self/task/" + std::to_string(tid);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (access(path.c_str(), F_OK) == 0) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

std::vector<pid_t> Tids() {
  std::vector<pid_t> tids;
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr) return tids;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') tids.push_back(static_cast<pid_t>(atoi(entry->d_name)));
  }
  closedir(dir);
  return tids;
}

// Whether `signal_number` is in the blocked set of thread `tid`; -1 when
// /proc does not tell (as under an emulator that keeps the mask itself).
int Blocks(pid_t tid, int signal_number) {
  FILE* status = fopen(("/proc/self/task/" + std::to_string(tid) + "/status").c_str(), "r");
  if (status == nullptr) return -1;
  char line[128];
  unsigned long long blocked = 0;
  bool found = false;
  while (!found && fgets(line, sizeof(line), status) != nullptr) found = sscanf(line, "SigBlk: %llx", &blocked) == 1;
  fclose(status);
  return found ? static_cast<int>((blocked >> (signal_number - 1)) & 1) : -1;
}

// The threads started since `before`, by a thread running under SCHED_FIFO
// with SIGTERM unblocked, run under SCHED_OTHER and block SIGTERM.
bool LibraryThreadsAreQuiet(const std::vector<pid_t>& before) {
  const pid_t self = static_cast<pid_t>(syscall(SYS_gettid));
  sigset_t probe;
  sigemptyset(&probe);
  sigaddset(&probe, SIGUSR2);
  pthread_sigmask(SIG_BLOCK, &probe, nullptr);
  const bool masksShown = Blocks(self, SIGUSR2) == 1;
  pthread_sigmask(SIG_UNBLOCK, &probe, nullptr);
  for (const pid_t tid : Tids()) {
    if (std::find(before.begin(), before.end(), tid) != before.end()) continue;
    if (sched_getscheduler(tid) != SCHED_OTHER || (masksShown && Blocks(tid, SIGTERM) != 1)) {
      fprintf(stderr, "library thread %d: policy %d, SIGTERM blocked %d\n", static_cast<int>(tid),
              sched_getscheduler(tid), Blocks(tid, SIGTERM));
      return false;
    }
  }
  return true;
}

void* Load() {
  void* library = dlopen(PROPERTY_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) fprintf(stderr, "dlopen: %s\n", dlerror());
  return library;
}

// The library's two functions, while it is loaded; unloaded on the way out,
// like every plug-in's.
class Library {
 public:
  Library() = default;
  ~Library() {
    if (mHandle != nullptr) dlclose(mHandle);
  }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  bool Load() {
    mHandle = ::Load();
    if (mHandle == nullptr) return false;
    set = reinterpret_cast<SetFn>(dlsym(mHandle, "property_set"));
    get = reinterpret_cast<GetFn>(dlsym(mHandle, "property_get"));
    return set != nullptr && get != nullptr;
  }

  SetFn set = nullptr;
  GetFn get = nullptr;

 private:
  void* mHandle = nullptr;
};

int Set(const char* key, const char* value) {
  void* library = Load();
  if (library == nullptr) return 2;
  auto set = reinterpret_cast<SetFn>(dlsym(library, "property_set"));
  const int result = set != nullptr ? set(key, value) : -2;
  dlclose(library);
  return result == 0 ? 0 : 1;
}

int Fill(const char* prefix, int count) {
  Library library;
  if (!library.Load()) return 2;
  int failed = 0;
  for (int i = 0; i < count; ++i) {
    const std::string key = std::string(prefix) + "." + std::to_string(i);
    failed += library.set(key.c_str(), std::to_string(i).c_str()) != 0 ? 1 : 0;
  }
  return failed == 0 ? 0 : 1;
}

// Prints KEY's value, and again at every SIGUSR1, until SIGTERM.
int ReadOnSignal(const char* key) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGUSR1);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  Library library;
  if (!library.Load()) return 2;
  for (int received = SIGUSR1; received == SIGUSR1;) {
    char value[92];
    library.get(key, value, "");
    printf("%s\n", value);
    fflush(stdout);
    if (sigwait(&signals, &received) != 0) return 2;
  }
  return 0;
}

int Read(const char* key) {
  Library library;
  if (!library.Load()) return 2;
  signal(SIGTERM, [](int) { gStop = 1; });
  long reads = 0;
  long defaults = 0;
  char value[92];
  while (gStop == 0) {
    library.get(key, value, kDefault);
    defaults += strcmp(value, kDefault) == 0 ? 1 : 0;
    if (++reads == 1) {
      printf("ready\n");
      fflush(stdout);
    }
  }
  printf("reads=%ld defaults=%ld\n", reads, defaults);
  fflush(stdout);
  return reads > 0 && defaults == 0 ? 0 : 1;
}

[[noreturn]] void Churn(const char* key) {
  Library library;
  if (!library.Load()) exit(2);
  for (long i = 1;; ++i) {
    const std::string value = std::to_string(i) + (i % 2 == 0 ? "-padded" : "");
    if (library.set(key, value.c_str()) != 0) exit(1);
    if (i == 1) {
      printf("ready\n");
      fflush(stdout);
    }
  }
}

// After loading the library, as the user and group given: `set KEY VALUE`
// (exits with 0 when it returned 0) or `get KEY` (prints the value).
int As(char** argv, int argc) {
  Library library;
  if (!library.Load()) return 2;
  const gid_t group = static_cast<gid_t>(atoi(argv[1]));
  const uid_t user = static_cast<uid_t>(atoi(argv[0]));
  if (setgroups(0, nullptr) != 0 || setresgid(group, group, group) != 0 || setresuid(user, user, user) != 0) {
    perror("dropping privileges");
    return 2;
  }
  prctl(PR_SET_DUMPABLE, 1);  // a leak checker at exit reads this process's memory
  const std::string command = argv[2];
  if (command == "set" && argc == 5) return library.set(argv[3], argv[4]) == 0 ? 0 : 1;
  if (command != "get") return Run(argc - 1, argv + 1);
  if (argc != 4) return 2;
  char value[92];
  library.get(argv[3], value, "");
  printf("%s\n", value);
  fflush(stdout);
  return 0;
}

// Bytes the library may still write to the property file before this
// process is killed; negative: no limit.
long gBytesBeforeDeath = -1;

bool IsPropertyFile(int fd) {
  char link[64];
  char target[256];
  snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, target, sizeof(target) - 1);
  if (n < 0) return false;
  target[n] = '\0';
  return strstr(target, "mj-gralloc.cfg") != nullptr && strstr(target, ".tmp") == nullptr;
}

int DieWriting(const char* bytes, const char* key, const char* value) {
  Library library;
  if (!library.Load()) return 2;
  gBytesBeforeDeath = atol(bytes);
  return library.set(key, value) == 0 ? 0 : 1;
}

int CausalWrite(int rounds, const char* to, const char* from) {
  Library library;
  if (!library.Load()) return 2;
  const int toReader = open(to, O_WRONLY | O_CLOEXEC);
  const int fromReader = open(from, O_RDONLY | O_CLOEXEC);
  char answer;
  if (toReader < 0 || fromReader < 0 || read(fromReader, &answer, 1) != 1) return 2;  // the reader has read once
  for (int i = 1; i <= rounds; ++i) {
    if (library.set("causal.key", std::to_string(i).c_str()) != 0) return 1;
    if (write(toReader, &i, sizeof(i)) != sizeof(i) || read(fromReader, &answer, 1) != 1) return 2;
  }
  return 0;
}

int CausalRead(const char* to, const char* from) {
  Library library;
  if (!library.Load()) return 2;
  const int fromWriter = open(to, O_RDONLY | O_CLOEXEC);
  const int toWriter = open(from, O_WRONLY | O_CLOEXEC);
  char value[92];
  library.get("causal.key", value, "0");
  if (fromWriter < 0 || toWriter < 0 || write(toWriter, "r", 1) != 1) return 2;
  long rounds = 0;
  long stale = 0;
  for (int i = 0; read(fromWriter, &i, sizeof(i)) == sizeof(i); ++rounds) {
    library.get("causal.key", value, "0");
    stale += atoi(value) < i ? 1 : 0;
    if (write(toWriter, "a", 1) != 1) return 2;
  }
  printf("rounds=%ld stale=%ld\n", rounds, stale);
  fflush(stdout);
  return rounds > 0 && stale == 0 ? 0 : 1;
}

int Await(const char* key, const char* expected) {
  Library library;
  if (!library.Load()) return 2;
  char value[92];
  for (long reads = 1;; ++reads) {
    library.get(key, value, "");
    if (reads == 1) {
      printf("ready\n");
      fflush(stdout);
    }
    if (strcmp(value, expected) == 0) return 0;
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
}

[[noreturn]] void BusyExit() {
  Library library;
  if (!library.Load()) exit(2);
  static std::atomic<int> calls{0};
  for (int t = 0; t < 4; ++t) {
    std::thread([&library, t] {
      const std::string key = "busy." + std::to_string(t);
      char value[92];
      for (;;) {
        library.set(key.c_str(), "1");
        library.get(key.c_str(), value, "");
        calls.fetch_add(1);
      }
    }).detach();
  }
  while (calls.load() < 8) std::this_thread::yield();
  exit(0);
}

using WatchFn = int (*)(const char*, void (*)(const char*, const char*, void*), void*);
using UnwatchFn = int (*)(int);
using WaitFn = int (*)(const char*, const char*, int);

int IdleAfter(const std::string& what) {
  Library library;
  if (!library.Load()) return 2;
  void* handle = dlopen(PROPERTY_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
  static auto watch = reinterpret_cast<WatchFn>(dlsym(handle, "property_watch"));
  static auto unwatch = reinterpret_cast<UnwatchFn>(dlsym(handle, "property_unwatch"));
  auto wait = reinterpret_cast<WaitFn>(dlsym(handle, "property_wait"));
  dlclose(handle);
  char value[92];
  library.get("idle.key", value, "");
  static std::atomic<int> self{0};
  static std::atomic<bool> called{false};
  auto ends = [](const char*, const char*, void*) {
    unwatch(self.load());
    called = true;
  };
  bool done = what == "get";
  if (what == "wait") done = wait("idle.key", "never", 50) == -1;
  if (what == "unwatch") done = unwatch(watch("idle.key", ends, nullptr)) == 0;
  if (what == "unwatch-inside") {
    self = watch("idle.key", ends, nullptr);
    done = self.load() > 0 && library.set("idle.key", "changed") == 0;
    while (done && !called.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!done) return 1;
  printf("done\n");
  fflush(stdout);
  for (;;) pause();
}

int Make(const std::string& path, const char* text) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    if (mkdir(path.substr(0, slash).c_str(), 0755) != 0 && errno != EEXIST) return 1;
  }
  if (text == nullptr) return 0;
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const bool written = fd >= 0 && write(fd, text, strlen(text)) == static_cast<ssize_t>(strlen(text));
  if (fd >= 0) close(fd);
  return written ? 0 : 1;
}

int Unload() {
  // A sanitizer runtime starts a helper thread of its own with the first
  // thread of the process; let that happen before counting, and the joined
  // thread leave /proc, or it would be counted as one that stays.
  pid_t joined = 0;
  std::thread([&joined] { joined = static_cast<pid_t>(syscall(SYS_gettid)); }).join();
  if (!WaitUntilGone(joined)) {
    fprintf(stderr, "thread %d stays in /proc after its join\n", static_cast<int>(joined));
    return 1;
  }
  const int before = CountThreads();
  for (int round = 0; round < 3; ++round) {
    void* library = Load();
    if (library == nullptr) return 2;
    if (!Expect(round, "after loading", before, 0)) return 1;
    if (round == 1) {
      auto get = reinterpret_cast<GetFn>(dlsym(library, "property_get"));
      char value[92];
      close(0);  // the watcher's descriptor may then be 0, and must still be closed
      const std::vector<pid_t> tids = Tids();
      sched_param realTime = {};
      realTime.sched_priority = 1;
      const bool started = pthread_setschedparam(pthread_self(), SCHED_FIFO, &realTime) == 0;
      if (get == nullptr || get("unload.key", value, "x") != 1) return 1;
      sched_param normal = {};
      pthread_setschedparam(pthread_self(), SCHED_OTHER, &normal);
      if (!Expect(round, "after a get", before, 2)) return 1;
      if (started && !LibraryThreadsAreQuiet(tids)) return 1;
    }
    if (dlclose(library) != 0) {
      fprintf(stderr, "dlclose: %s\n", dlerror());
      return 1;
    }
    if (dlopen(PROPERTY_LIBRARY, RTLD_NOW | RTLD_NOLOAD) != nullptr) {
      fprintf(stderr, "round %d: the library stayed loaded\n", round);
      return 1;
    }
    if (!Expect(round, "after unloading", before, 0)) return 1;
  }
  return 0;
}

}  // namespace

// The library's writes come here (this program exports its symbols).
extern "C" ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
  using Write = ssize_t (*)(int, const void*, size_t, off_t);
  static const Write real = reinterpret_cast<Write>(dlsym(RTLD_NEXT, "pwrite"));
  if (gBytesBeforeDeath < 0 || !IsPropertyFile(fd)) return real(fd, data, size, offset);
  const size_t allowed = std::min(size, static_cast<size_t>(gBytesBeforeDeath));
  const ssize_t written = real(fd, data, allowed, offset);
  gBytesBeforeDeath -= static_cast<long>(allowed);
  if (gBytesBeforeDeath == 0) raise(SIGKILL);
  return written;
}

int Run(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (argc == 4 && command == "set") return Set(argv[2], argv[3]);
  if (argc == 4 && command == "fill") return Fill(argv[2], atoi(argv[3]));
  if (argc == 3 && command == "read") return Read(argv[2]);
  if (argc == 3 && command == "read-on-signal") return ReadOnSignal(argv[2]);
  if (argc == 3 && command == "churn") Churn(argv[2]);
  if (argc >= 5 && command == "as") return As(argv + 2, argc - 2);
  if (argc == 4 && command == "await") return Await(argv[2], argv[3]);
  if (argc == 2 && command == "busy-exit") BusyExit();
  if (argc == 5 && command == "causal-write") return CausalWrite(atoi(argv[2]), argv[3], argv[4]);
  if (argc == 4 && command == "causal-read") return CausalRead(argv[2], argv[3]);
  if (argc == 5 && command == "die-writing") return DieWriting(argv[2], argv[3], argv[4]);
  if (argc == 2 && command == "unload") return Unload();
  if (argc == 3 && command == "idle-after") return IdleAfter(argv[2]);
  if ((argc == 3 || argc == 4) && command == "make") return Make(argv[2], argc == 4 ? argv[3] : nullptr);
  fprintf(stderr,
          "usage: %s set KEY VALUE | fill PREFIX N | read KEY | churn KEY | as UID GID set KEY VALUE | as UID GID get KEY"
          " | await KEY VALUE | busy-exit | die-writing N KEY VALUE | causal-write N TO FROM | causal-read TO FROM"
          " | unload | idle-after WHAT | make PATH [TEXT]\n",
          argv[0]);
  return 2;
}

int main(int argc, char** argv) { return Run(argc, argv); }
