// Property store figures, each beside its baseline:
//   property_get of a cached key    vs a bare lock + map lookup + copy
//   property_get right after this process's own property_set
//   property_set on a 100-key file  vs a bare read + write temporary + flush
//                                   + rename, and a bare rewrite in place
//   property_set in place (the file bind-mounted over itself, so that rename
//   cannot replace it: journal, front, cut)
//   change propagation from another process's close (or property_set) to
//   property_get                    vs the kernel's inotify delivery alone
//   idle CPU of the loaded library  vs a bare thread polling every 10 ms
//
// Run it inside the private /etc/j-config namespace (a tmpfs there):
//   scripts/private-ns.sh build/default/bench/bench_property
// or with a directory of the disk bind-mounted there instead:
//   scripts/private-ns.sh sh -c 'd=$(mktemp -d /var/tmp/bench.XXXXXX) &&
//     mount --bind "$d" /etc/j-config && exec build/default/bench/bench_property'
// Each figure's label names the file system it ran on.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench/percentiles.h"
#include "bench/private_config_dir.h"
#include "bench/process_cpu.h"
#include "platform/log/zu_log.h"
#include "property/property.h"

namespace {

constexpr char kConfigFile[] = "/etc/j-config/mj-gralloc.cfg";
constexpr int kKeys = 100;

std::string HundredKeyFile(const std::string& changing = "0") {
  std::string text = "# benchmark file\n";
  for (int i = 0; i < kKeys; ++i) {
    char line[64];
    snprintf(line, sizeof(line), "key.%03d=value number %d\n", i, i);
    text += line;
  }
  return text + "key.change=" + changing + "\n";
}

void WriteText(const char* path, const std::string& text) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  if (write(fd, text.data(), text.size()) < 0) perror("write");
  close(fd);
}

std::string ReadText(const char* path) {
  std::string text;
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char chunk[4096];
  for (ssize_t n; (n = read(fd, chunk, sizeof(chunk))) > 0;) text.append(chunk, static_cast<size_t>(n));
  close(fd);
  return text;
}

void ReplaceLine(std::string& text, const char* value) {
  const size_t start = text.find("key.050=");
  const size_t end = text.find('\n', start);
  text.replace(start, end - start, std::string("key.050=") + value);
}

int64_t MonotonicNs() {
  timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Loads the 100-key file and waits until this process answers from it.
void PrepareConfigFile() {
  static int round = 0;
  const std::string mark = std::to_string(++round) + "." + std::to_string(MonotonicNs());
  WriteText(kConfigFile, HundredKeyFile(mark));
  char value[PROPERTY_VALUE_SIZE];
  for (;;) {
    property_get("key.change", value, "");
    if (mark == value) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// ---- property_get ----------------------------------------------------------

void BM_PropertyGetCached(benchmark::State& state) {
  if (!PrivateConfigDir(state)) return;
  if (state.thread_index() == 0) PrepareConfigFile();
  char value[PROPERTY_VALUE_SIZE];
  for (auto _ : state) {
    benchmark::DoNotOptimize(property_get("key.050", value, "default"));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_PropertyGetCached)->Threads(1)->Threads(2)->UseRealTime();

// The same map as the library's: its comparator looks a C string up
// without building a std::string.
struct BareStore {
  std::mutex mutex;
  std::map<std::string, std::string, std::less<>> pairs;
};

BareStore& Bare() {
  static BareStore* store = [] {
    auto* created = new BareStore;
    for (int i = 0; i < kKeys; ++i) {
      char key[16];
      snprintf(key, sizeof(key), "key.%03d", i);
      created->pairs[key] = "value number " + std::to_string(i);
    }
    return created;
  }();
  return *store;
}

void BM_BaselineLockLookupCopy(benchmark::State& state) {
  BareStore& store = Bare();
  char value[PROPERTY_VALUE_SIZE];
  const char* key = "key.050";
  for (auto _ : state) {
    std::lock_guard<std::mutex> lock(store.mutex);
    auto it = store.pairs.find(std::string_view(key));
    if (it != store.pairs.end()) strcpy(value, it->second.c_str());
    benchmark::DoNotOptimize(value);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_BaselineLockLookupCopy)->Threads(1)->Threads(2)->UseRealTime();

// ---- property_set ----------------------------------------------------------

void BM_PropertySet100Keys(benchmark::State& state) {
  if (!PrivateConfigDir(state)) return;
  PrepareConfigFile();
  int round = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(property_set("key.050", (round++ & 1) != 0 ? "one value" : "another value"));
  }
}
BENCHMARK(BM_PropertySet100Keys)->Unit(benchmark::kMicrosecond);

// The file bound over itself: the rename is refused (EBUSY) and every set
// rewrites the file in place through its journal.
void BM_PropertySet100KeysInPlace(benchmark::State& state) {
  if (!PrivateConfigDir(state)) return;
  PrepareConfigFile();
  if (mount(kConfigFile, kConfigFile, nullptr, MS_BIND, nullptr) != 0) {
    state.SkipWithError("cannot bind the file over itself");
    return;
  }
  int round = 0;
  for (auto _ : state) {
    if (property_set("key.050", (round++ & 1) != 0 ? "one value" : "another value") != 0) {
      state.SkipWithError("property_set failed");
      break;
    }
  }
  umount2(kConfigFile, MNT_DETACH);
}
BENCHMARK(BM_PropertySet100KeysInPlace)->Unit(benchmark::kMicrosecond);

// The same change made by hand: read the file, replace the key's line,
// write a temporary in the same directory, flush it and rename it over.
void BM_BaselineReadWriteTemporaryFlushRename(benchmark::State& state) {
  if (!PrivateConfigDir(state)) return;
  WriteText(kConfigFile, HundredKeyFile());
  const std::string temporary = std::string(kConfigFile) + ".tmp";
  int round = 0;
  for (auto _ : state) {
    std::string text = ReadText(kConfigFile);
    ReplaceLine(text, (round++ & 1) != 0 ? "one value" : "another value");
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || write(fd, text.data(), text.size()) < 0 || fdatasync(fd) != 0) perror("temporary");
    close(fd);
    if (rename(temporary.c_str(), kConfigFile) != 0) perror("rename");
  }
}
BENCHMARK(BM_BaselineReadWriteTemporaryFlushRename)->Unit(benchmark::kMicrosecond);

// The old way, which loses data on a crash: read, then truncate and rewrite
// the file in place, unflushed.
void BM_BaselineRewriteInPlace(benchmark::State& state) {
  if (!PrivateConfigDir(state)) return;
  WriteText(kConfigFile, HundredKeyFile());
  int round = 0;
  for (auto _ : state) {
    std::string text = ReadText(kConfigFile);
    ReplaceLine(text, (round++ & 1) != 0 ? "one value" : "another value");
    WriteText(kConfigFile, text);
  }
}
BENCHMARK(BM_BaselineRewriteInPlace)->Unit(benchmark::kMicrosecond);

// What the directory flush that property_set leaves out would add.
void BM_DirectoryFlush(benchmark::State& state) {
  if (!PrivateConfigDir(state)) return;
  PrepareConfigFile();
  const int dir = open("/etc/j-config", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int round = 0;
  for (auto _ : state) {
    property_set("key.050", (round++ & 1) != 0 ? "one value" : "another value");
    fsync(dir);
  }
  close(dir);
}
BENCHMARK(BM_DirectoryFlush)->Unit(benchmark::kMicrosecond);

// property_get just after this process's own property_set answers from
// memory: the file it wrote is recognised, not read again. Timed alone; the
// set before it is not. A get that comes after the watcher has told of the
// write costs one stat of the file on top (BM_PropertyGetAfterOwnSetTold).
// second_get_p50_us is a second get at once after the first: what the same
// call costs once the set's system calls no longer leave caches and TLB cold.
void PropertyGetAfterOwnSet(benchmark::State& state, bool waitForTheNews) {
  if (!PrivateConfigDir(state)) return;
  PrepareConfigFile();
  char value[PROPERTY_VALUE_SIZE];
  int round = 0;
  std::vector<double> latencies;
  std::vector<double> seconds;
  for (auto _ : state) {
    const char* wanted = (round++ & 1) != 0 ? "one value" : "another value";
    property_set("key.050", wanted);
    if (waitForTheNews) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    const int64_t start = MonotonicNs();
    property_get("key.050", value, "");
    const int64_t end = MonotonicNs();
    property_get("key.050", value, "");
    seconds.push_back(static_cast<double>(MonotonicNs() - end) / 1000.0);
    latencies.push_back(static_cast<double>(end - start) / 1000.0);
    state.SetIterationTime(static_cast<double>(end - start) / 1e9);
    if (strcmp(value, wanted) != 0) state.SkipWithError("property_get did not answer the value just set");
  }
  ReportPercentiles(state, latencies);
  std::sort(seconds.begin(), seconds.end());
  if (!seconds.empty()) state.counters["second_get_p50_us"] = seconds[seconds.size() / 2];
}

void BM_PropertyGetAfterOwnSet(benchmark::State& state) { PropertyGetAfterOwnSet(state, false); }
BENCHMARK(BM_PropertyGetAfterOwnSet)->UseManualTime()->Iterations(2000)->Unit(benchmark::kNanosecond);

void BM_PropertyGetAfterOwnSetTold(benchmark::State& state) { PropertyGetAfterOwnSet(state, true); }
BENCHMARK(BM_PropertyGetAfterOwnSetTold)->UseManualTime()->Iterations(300)->Unit(benchmark::kNanosecond);

// ---- change propagation ----------------------------------------------------

// A forked child that changes the file on command and reports the
// monotonic time at which the change began to show: either it rewrites the
// file in place and reports the start of its close (the event is queued
// inside close, and a watcher on the other core may see it before close has
// returned), or it calls property_set and reports the start of that call
// (an upper bound: the set reads, writes and flushes before its close). The
// in-place writer only makes system calls, as a child of a threaded process
// must; property_set is safe in such a child.
class Writer {
 public:
  enum class Way { kInPlace, kPropertySet };

  static Writer& Get(Way way) {
    static Writer inPlace(Way::kInPlace);
    static Writer propertySet(Way::kPropertySet);
    return way == Way::kInPlace ? inPlace : propertySet;
  }

  // Asks for a change with key.change set to `round`.
  void Start(int round) {
    if (write(mCommand[1], &round, sizeof(round)) < 0) perror("write");
  }
  // Waits for the monotonic time at which that change began to show.
  int64_t Report() {
    int64_t closedAt = 0;
    if (read(mReport[0], &closedAt, sizeof(closedAt)) != sizeof(closedAt)) return 0;
    return closedAt;
  }

 private:
  explicit Writer(Way way) : mWay(way) {
    if (pipe(mCommand) != 0 || pipe(mReport) != 0) abort();
    mText = HundredKeyFile("0000000000");
    if (fork() == 0) Serve();
    close(mCommand[0]);
    close(mReport[1]);
  }

  int64_t RewriteInPlace() {
    const int fd = open(kConfigFile, O_WRONLY | O_TRUNC);
    if (fd < 0 || write(fd, mText.data(), mText.size()) < 0) _exit(1);
    const int64_t closedAt = MonotonicNs();
    close(fd);
    return closedAt;
  }

  int64_t Set(const char* digits) {
    const int64_t startedAt = MonotonicNs();
    if (property_set("key.change", digits) != 0) _exit(1);
    return startedAt;
  }

  // Ends when the benchmark process exits and its end of the pipe closes.
  [[noreturn]] void Serve() {
    close(mCommand[1]);
    close(mReport[0]);
    char* digits = &mText[mText.find("key.change=") + strlen("key.change=")];
    int round = 0;
    while (read(mCommand[0], &round, sizeof(round)) == sizeof(round)) {
      for (int i = 9, n = round; i >= 0; --i, n /= 10) digits[i] = static_cast<char>('0' + n % 10);
      const int64_t changedAt = mWay == Way::kInPlace ? RewriteInPlace() : Set(std::string(digits, 10).c_str());
      if (write(mReport[1], &changedAt, sizeof(changedAt)) < 0) _exit(1);
    }
    _exit(0);
  }

  const Way mWay;
  int mCommand[2] = {-1, -1};
  int mReport[2] = {-1, -1};
  std::string mText;
};

std::string Digits(int round) {
  char text[16];
  snprintf(text, sizeof(text), "%010d", round);
  return text;
}


void ChangePropagation(benchmark::State& state, Writer::Way way) {
  if (!PrivateConfigDir(state)) return;
  PrepareConfigFile();
  Writer& writer = Writer::Get(way);
  static int round = 0;
  std::vector<double> latencies;
  char value[PROPERTY_VALUE_SIZE];
  for (auto _ : state) {
    const std::string expected = Digits(++round);
    writer.Start(round);
    int64_t seenAt = 0;
    for (;;) {
      property_get("key.change", value, "");
      if (expected == value) {
        seenAt = MonotonicNs();
        break;
      }
      sched_yield();
    }
    const int64_t closedAt = writer.Report();
    const double us = static_cast<double>(seenAt - closedAt) / 1000.0;
    latencies.push_back(us);
    state.SetIterationTime(us / 1e6);
  }
  ReportPercentiles(state, latencies);
}

void BM_ChangePropagation(benchmark::State& state) { ChangePropagation(state, Writer::Way::kInPlace); }
BENCHMARK(BM_ChangePropagation)->UseManualTime()->Iterations(1000)->Unit(benchmark::kMicrosecond);

void BM_ChangePropagationFromPropertySet(benchmark::State& state) {
  ChangePropagation(state, Writer::Way::kPropertySet);
}
BENCHMARK(BM_ChangePropagationFromPropertySet)->UseManualTime()->Iterations(1000)->Unit(benchmark::kMicrosecond);

void BM_BaselineKernelInotifyDelivery(benchmark::State& state) {
  if (!PrivateConfigDir(state)) return;
  Writer& writer = Writer::Get(Writer::Way::kInPlace);
  const int fd = inotify_init1(IN_CLOEXEC);
  inotify_add_watch(fd, kConfigFile, IN_CLOSE_WRITE);
  static int round = 1000000;
  std::vector<double> latencies;
  alignas(inotify_event) char buffer[4096];
  for (auto _ : state) {
    writer.Start(++round);
    if (read(fd, buffer, sizeof(buffer)) <= 0) break;
    const int64_t seenAt = MonotonicNs();
    const int64_t closedAt = writer.Report();
    const double us = static_cast<double>(seenAt - closedAt) / 1000.0;
    latencies.push_back(us);
    state.SetIterationTime(us / 1e6);
  }
  close(fd);
  ReportPercentiles(state, latencies);
}
BENCHMARK(BM_BaselineKernelInotifyDelivery)->UseManualTime()->Iterations(1000)->Unit(benchmark::kMicrosecond);

// ---- idle cost -------------------------------------------------------------

constexpr int kIdleSeconds = 10;

// The whole process: the watcher's two threads while nothing changes.
void BM_IdleCpuOfTheLoadedLibrary(benchmark::State& state) {
  if (!PrivateConfigDir(state)) return;
  PrepareConfigFile();
  for (auto _ : state) {
    const double before = ProcessCpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(kIdleSeconds));
    const double used = ProcessCpuSeconds() - before;
    state.counters["cpu_percent"] = 100.0 * used / kIdleSeconds;
    state.SetIterationTime(kIdleSeconds);
  }
}
BENCHMARK(BM_IdleCpuOfTheLoadedLibrary)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

double ThreadCpuSeconds(pthread_t thread) {
  clockid_t clock = 0;
  timespec used = {};
  if (pthread_getcpuclockid(thread, &clock) != 0 || clock_gettime(clock, &used) != 0) return 0;
  return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
}

// One thread alone, waiting on an idle inotify descriptor 10 ms at a time.
void BM_BaselineBarePollThread(benchmark::State& state) {
  const int fd = inotify_init1(IN_CLOEXEC);
  std::atomic<bool> stop{false};
  std::thread poller([&] {
    while (!stop) {
      pollfd waiting = {fd, POLLIN, 0};
      poll(&waiting, 1, 10);
    }
  });
  for (auto _ : state) {
    const double before = ThreadCpuSeconds(poller.native_handle());
    std::this_thread::sleep_for(std::chrono::seconds(kIdleSeconds));
    const double used = ThreadCpuSeconds(poller.native_handle()) - before;
    state.counters["cpu_percent"] = 100.0 * used / kIdleSeconds;
    state.SetIterationTime(kIdleSeconds);
  }
  stop = true;
  poller.join();
  close(fd);
}
BENCHMARK(BM_BaselineBarePollThread)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
  // The watcher's per-event information line would otherwise go to stderr
  // on the measured path; the log's own threshold drops it.
  ZuLogSetLevel(ZU_LOG_WARN);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
