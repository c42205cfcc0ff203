// What the property library costs processes that idle, each beside the
// same number of bare sleeping processes (/bin/sleep):
//   loaded  a process that loads the library and never uses the store
//   reader  a process that reads one property and then idles
//   watched a reader whose property_watch ended (property_unwatch)
//   waited  a reader whose property_wait timed out (after 50 ms)
// One of each, then N readers at once (default 200), and whether this
// process can still open an inotify instance while they run. Counted from
// /proc over the window (default 10 s) after a settling second: threads and
// inotify instances per process, wake-ups (voluntary and involuntary context
// switches of every thread) and CPU time (run time of every thread).
// Then the delay from another process's replace by rename (the start of its
// rename) to this idle reader's first property_get with the new value, 2 ms
// of idling before each of 1000 changes, beside a bare blocking read of an
// inotify watch of the directory.
//
//   scripts/private-ns.sh build/default/bench/bench_property_idle [N] [seconds]
// The children are this program, started as "bench_property_idle loaded" or
// "... reader".
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "property/property.h"

extern char** environ;

namespace {

struct Sample {
  int threads = 0;
  int inotify = 0;
  long long switches = 0;
  long long cpuNs = 0;
};

std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  DIR* handle = opendir(dir.c_str());
  if (handle == nullptr) return names;
  while (const dirent* entry = readdir(handle)) {
    if (entry->d_name[0] != '.') names.push_back(entry->d_name);
  }
  closedir(handle);
  return names;
}

long long StatusField(const std::string& status, const char* name) {
  std::ifstream in(status);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(name, 0) == 0) return atoll(line.c_str() + strlen(name));
  }
  return 0;
}

Sample Measure(pid_t pid) {
  Sample sample;
  const std::string proc = "/proc/" + std::to_string(pid);
  for (const std::string& task : Entries(proc + "/task")) {
    ++sample.threads;
    const std::string base = proc + "/task/" + task;
    sample.switches += StatusField(base + "/status", "voluntary_ctxt_switches:") +
                       StatusField(base + "/status", "nonvoluntary_ctxt_switches:");
    std::ifstream schedstat(base + "/schedstat");
    long long ns = 0;
    schedstat >> ns;
    sample.cpuNs += ns;
  }
  for (const std::string& fd : Entries(proc + "/fd")) {
    char target[64] = "";
    const ssize_t length = readlink((proc + "/fd/" + fd).c_str(), target, sizeof(target) - 1);
    sample.inotify += length > 0 && strcmp(target, "anon_inode:inotify") == 0 ? 1 : 0;
  }
  return sample;
}

pid_t Start(const char* mode) {
  std::vector<const char*> argv;
  if (strcmp(mode, "sleep") == 0) {
    argv = {"/bin/sleep", "100000", nullptr};
  } else {
    argv = {"/proc/self/exe", mode, nullptr};
  }
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, const_cast<char* const*>(argv.data()), environ) != 0) {
    perror("posix_spawn");
    exit(1);
  }
  return pid;
}

// Starts `count` children of `mode`, lets them settle, and prints per
// process and summed figures over `seconds`.
void Run(const char* mode, int count, int seconds) {
  std::vector<pid_t> children;
  for (int i = 0; i < count; ++i) children.push_back(Start(mode));
  sleep(1);
  std::vector<Sample> before;
  for (pid_t pid : children) before.push_back(Measure(pid));
  sleep(static_cast<unsigned>(seconds));
  Sample total;
  int maxThreads = 0;
  for (size_t i = 0; i < children.size(); ++i) {
    const Sample after = Measure(children[i]);
    total.threads += after.threads;
    total.inotify += after.inotify;
    total.switches += after.switches - before[i].switches;
    total.cpuNs += after.cpuNs - before[i].cpuNs;
    if (after.threads > maxThreads) maxThreads = after.threads;
  }
  const int probe = inotify_init1(IN_CLOEXEC);
  printf("%-7s x%-4d threads max %d, inotify instances %d, wake-ups in %d s: %lld (%.2f/s per process), "
         "CPU %.3f ms (%.1f us/s per process); this process %s open an inotify instance\n",
         mode, count, maxThreads, total.inotify, seconds, total.switches,
         static_cast<double>(total.switches) / seconds / count, total.cpuNs / 1e6,
         total.cpuNs / 1e3 / seconds / count, probe >= 0 ? "can" : "cannot");
  fflush(stdout);
  if (probe >= 0) close(probe);
  for (pid_t pid : children) kill(pid, SIGKILL);
  for (pid_t pid : children) waitpid(pid, nullptr, 0);
}

constexpr char kFile[] = "/etc/j-config/mj-gralloc.cfg";
constexpr char kTemporary[] = "/etc/j-config/.mj-gralloc.cfg.tmp";
constexpr int kRounds = 1000;

int64_t MonotonicNs() {
  timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// A forked child that, for each round number read from `command`, replaces
// the file by rename and writes the time its rename began to `report`.
// System calls only, as a child of a threaded process must.
[[noreturn]] void ReplaceOnCommand(int command, int report) {
  int round = 0;
  while (read(command, &round, sizeof(round)) == sizeof(round)) {
    char text[64];
    const int length = snprintf(text, sizeof(text), "idle.key=%d\n", round);
    const int fd = open(kTemporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || write(fd, text, static_cast<size_t>(length)) != length) _exit(1);
    close(fd);
    const int64_t renamedAt = MonotonicNs();
    if (rename(kTemporary, kFile) != 0 || write(report, &renamedAt, sizeof(renamedAt)) < 0) _exit(1);
  }
  _exit(0);
}

// p50 / p99 in us of the delay from each replace to `seen` returning.
void Latency(const char* what, const std::function<int64_t(int round)>& seen) {
  int command[2];
  int report[2];
  if (pipe(command) != 0 || pipe(report) != 0) exit(1);
  const pid_t writer = fork();
  if (writer == 0) {
    close(command[1]);
    ReplaceOnCommand(command[0], report[1]);
  }
  std::vector<double> us;
  const timespec idle = {0, 2000000};
  for (int round = 1; round <= kRounds; ++round) {
    nanosleep(&idle, nullptr);
    if (write(command[1], &round, sizeof(round)) < 0) exit(1);
    const int64_t seenAt = seen(round);
    int64_t renamedAt = 0;
    if (read(report[0], &renamedAt, sizeof(renamedAt)) != sizeof(renamedAt)) exit(1);
    us.push_back(static_cast<double>(seenAt - renamedAt) / 1000.0);
  }
  close(command[1]);
  waitpid(writer, nullptr, 0);
  close(command[0]);
  close(report[0]);
  close(report[1]);
  std::sort(us.begin(), us.end());
  printf("%-40s p50 %.1f us, p99 %.1f us, max %.1f us\n", what, us[us.size() / 2], us[us.size() * 99 / 100], us.back());
  fflush(stdout);
}

void Latencies() {
  char value[PROPERTY_VALUE_SIZE];
  Latency("replace seen by property_get", [&value](int round) {
    const std::string expected = std::to_string(round);
    for (;;) {
      property_get("idle.key", value, "");
      if (expected == value) return MonotonicNs();
      sched_yield();
    }
  });
  const int fd = inotify_init1(IN_CLOEXEC);
  inotify_add_watch(fd, "/etc/j-config", IN_MOVED_TO);
  Latency("baseline: blocking read of the directory", [fd](int) {
    alignas(inotify_event) char buffer[4096];
    if (read(fd, buffer, sizeof(buffer)) <= 0) exit(1);
    return MonotonicNs();
  });
  close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "loaded" || mode == "reader" || mode == "watched" || mode == "waited") {
    if (mode != "loaded") {
      char value[PROPERTY_VALUE_SIZE];
      property_get("idle.key", value, "");
    }
    if (mode == "watched") property_unwatch(property_watch("idle.key", [](const char*, const char*, void*) {}, nullptr));
    if (mode == "waited") property_wait("idle.key", "never", 50);
    for (;;) pause();
  }
  const int file = open(kFile, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (file < 0 || write(file, "idle.key=0\n", 11) != 11) return 1;
  close(file);
  const int count = argc > 1 ? atoi(argv[1]) : 200;
  const int seconds = argc > 2 ? atoi(argv[2]) : 10;
  for (const char* each : {"sleep", "loaded", "reader", "watched", "waited"}) Run(each, 1, seconds);
  for (const char* each : {"sleep", "reader", "watched", "waited"}) Run(each, count, seconds);
  Latencies();
  return 0;
}
