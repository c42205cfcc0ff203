// Property store figures, each beside its baseline:
//   property_get of a cached key    vs a bare lock + map lookup + copy
//   property_set on a 100-key file  vs a bare read-and-rewrite of that file
//   change propagation from another process's close to property_get
//                                   vs the kernel's inotify delivery alone
//   idle CPU of the loaded library  vs a bare thread polling every 10 ms
//
// Run it inside the private /etc/j-config namespace:
//   scripts/private-ns.sh build/default/bench/bench_property
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/log/zu_log.h"
#include "property/property.h"

namespace {

constexpr char kConfigFile[] = "/etc/j-config/mj-gralloc.cfg";
constexpr int kKeys = 100;

bool PrivateConfigDir(benchmark::State& state) {
  struct statfs info = {};
  if (statfs("/etc/j-config", &info) == 0 && info.f_type == TMPFS_MAGIC) return true;
  state.SkipWithError("/etc/j-config is not a private tmpfs; run through scripts/private-ns.sh");
  return false;
}

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

struct BareStore {
  std::mutex mutex;
  std::map<std::string, std::string> pairs;
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
    auto it = store.pairs.find(key);
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

// Reads every line, replaces the key's line, writes every line back.
void BM_BaselineReadRewrite100Keys(benchmark::State& state) {
  if (!PrivateConfigDir(state)) return;
  WriteText(kConfigFile, HundredKeyFile());
  int round = 0;
  for (auto _ : state) {
    std::vector<std::string> lines;
    {
      std::ifstream in(kConfigFile);
      for (std::string line; std::getline(in, line);) lines.push_back(line);
    }
    for (std::string& line : lines) {
      if (line.rfind("key.050=", 0) == 0) line = (round++ & 1) != 0 ? "key.050=one value" : "key.050=another value";
    }
    std::ofstream out(kConfigFile, std::ios::trunc);
    for (const std::string& line : lines) out << line << '\n';
  }
}
BENCHMARK(BM_BaselineReadRewrite100Keys)->Unit(benchmark::kMicrosecond);

// ---- change propagation ----------------------------------------------------

// A forked child that rewrites the file on command and reports the
// monotonic time right after its close. It only makes system calls, as a
// child of a threaded process must.
class Writer {
 public:
  static Writer& Get() {
    static Writer writer;
    return writer;
  }

  // Asks for a rewrite with key.change set to `round`.
  void Start(int round) {
    if (write(mCommand[1], &round, sizeof(round)) < 0) perror("write");
  }
  // Waits for the monotonic time at which that rewrite's close began.
  int64_t Report() {
    int64_t closedAt = 0;
    if (read(mReport[0], &closedAt, sizeof(closedAt)) != sizeof(closedAt)) return 0;
    return closedAt;
  }

 private:
  Writer() {
    if (pipe(mCommand) != 0 || pipe(mReport) != 0) abort();
    mText = HundredKeyFile("0000000000");
    if (fork() == 0) Serve();
    close(mCommand[0]);
    close(mReport[1]);
  }

  // Ends when the benchmark process exits and its end of the pipe closes.
  [[noreturn]] void Serve() {
    close(mCommand[1]);
    close(mReport[0]);
    char* digits = &mText[mText.find("key.change=") + strlen("key.change=")];
    int round = 0;
    while (read(mCommand[0], &round, sizeof(round)) == sizeof(round)) {
      for (int i = 9, n = round; i >= 0; --i, n /= 10) digits[i] = static_cast<char>('0' + n % 10);
      const int fd = open(kConfigFile, O_WRONLY | O_TRUNC);
      if (fd < 0 || write(fd, mText.data(), mText.size()) < 0) _exit(1);
      // Taken as close starts: the event is queued inside close, and a
      // watcher on the other core may see it before close has returned.
      const int64_t closedAt = MonotonicNs();
      close(fd);
      if (write(mReport[1], &closedAt, sizeof(closedAt)) < 0) _exit(1);
    }
    _exit(0);
  }

  int mCommand[2] = {-1, -1};
  int mReport[2] = {-1, -1};
  std::string mText;
};

std::string Digits(int round) {
  char text[16];
  snprintf(text, sizeof(text), "%010d", round);
  return text;
}

void ReportPercentiles(benchmark::State& state, std::vector<double>& latenciesUs) {
  if (latenciesUs.empty()) return;
  std::sort(latenciesUs.begin(), latenciesUs.end());
  state.counters["p50_us"] = latenciesUs[latenciesUs.size() / 2];
  state.counters["p99_us"] = latenciesUs[latenciesUs.size() * 99 / 100];
  state.counters["max_us"] = latenciesUs.back();
}

void BM_ChangePropagation(benchmark::State& state) {
  if (!PrivateConfigDir(state)) return;
  PrepareConfigFile();
  Writer& writer = Writer::Get();
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
BENCHMARK(BM_ChangePropagation)->UseManualTime()->Iterations(1000)->Unit(benchmark::kMicrosecond);

void BM_BaselineKernelInotifyDelivery(benchmark::State& state) {
  if (!PrivateConfigDir(state)) return;
  Writer& writer = Writer::Get();
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

double ProcessCpuSeconds() {
  rusage usage = {};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

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
