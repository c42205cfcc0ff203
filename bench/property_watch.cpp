// Watch API figures, each beside its baseline:
//   another process's property_set returning -> the callback running
//   (a 100-key file)                vs the kernel's inotify close-to-wake
//   one change delivered with 10, 100, 1,000 keys watched, and 10, 100 keys
//   changed at once (a 1,000-key file rewritten in place)
//   property_wait already satisfied vs property_get
//
// Run it inside the private /etc/j-config namespace (a tmpfs there):
//   scripts/private-ns.sh build/default/bench/bench_property_watch
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "bench/percentiles.h"
#include "bench/private_config_dir.h"
#include "platform/log/zu_log.h"
#include "property/property.h"

namespace {

constexpr char kConfigFile[] = "/etc/j-config/mj-gralloc.cfg";
constexpr int kSmallFile = 100;
constexpr int kLargeFile = 1000;

int64_t MonotonicNs() {
  timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

std::string KeyName(int i) {
  char name[16];
  snprintf(name, sizeof(name), "key.%04d", i);
  return name;
}

// A file of `keys` keys; the first `changed` hold `round`, the others 0.
std::string FileText(int keys, int changed, int round) {
  std::string text;
  for (int i = 0; i < keys; ++i) text += KeyName(i) + "=" + std::to_string(i < changed ? round : 0) + "\n";
  return text;
}

// Writes with one open/write/close; returns the time just before the close.
int64_t WriteInPlace(const std::string& text) {
  const int fd = open(kConfigFile, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || write(fd, text.data(), text.size()) < 0) abort();
  const int64_t closingAt = MonotonicNs();
  close(fd);
  return closingAt;
}

// A forked child that changes the file on command: 's' sets key.0000 with
// property_set and reports when the call returned; 'i' rewrites the file
// in place and reports when its close began. Forked before this process
// watches anything; it ends when the benchmark exits.
class ChangingProcess {
 public:
  static ChangingProcess& Get() {
    static ChangingProcess process;
    return process;
  }

  int64_t Change(char how, int round) {
    const char command[2] = {how, static_cast<char>(round % 100)};
    int64_t at = 0;
    if (write(mCommand[1], command, sizeof(command)) != 2 || read(mReport[0], &at, sizeof(at)) != sizeof(at)) abort();
    return at;
  }

 private:
  ChangingProcess() {
    if (pipe(mCommand) != 0 || pipe(mReport) != 0) abort();
    if (fork() == 0) Serve();
    close(mCommand[0]);
    close(mReport[1]);
  }

  [[noreturn]] void Serve() {
    close(mCommand[1]);
    close(mReport[0]);
    char command[2];
    while (read(mCommand[0], command, sizeof(command)) == sizeof(command)) {
      const std::string value = std::to_string(command[1] + 1);
      int64_t at = 0;
      if (command[0] == 's') {
        if (property_set(KeyName(0).c_str(), value.c_str()) != 0) _exit(1);
        at = MonotonicNs();
      } else {
        at = WriteInPlace(FileText(kSmallFile, 1, command[1] + 1));
      }
      if (write(mReport[1], &at, sizeof(at)) < 0) _exit(1);
    }
    _exit(0);
  }

  int mCommand[2] = {-1, -1};
  int mReport[2] = {-1, -1};
};

// Counts the callbacks that bring the value expected and keeps the time of
// the last one; news of an older change may still bring other values.
class Seen {
 public:
  static void Record(const char* /*key*/, const char* value, void* self) {
    auto* seen = static_cast<Seen*>(self);
    const int64_t now = MonotonicNs();
    {
      std::lock_guard<std::mutex> lock(seen->mMutex);
      if (value == nullptr || seen->mExpected != value) return;
      ++seen->mCalls;
      seen->mLastAt = now;
    }
    seen->mChanged.notify_all();
  }

  void Expect(const std::string& value) {
    std::lock_guard<std::mutex> lock(mMutex);
    mExpected = value;
    mCalls = 0;
  }

  // Waits for `calls` callbacks with the value expected; the time of the last.
  int64_t WaitFor(int calls) {
    std::unique_lock<std::mutex> lock(mMutex);
    mChanged.wait(lock, [&] { return mCalls >= calls; });
    return mLastAt;
  }

 private:
  std::mutex mMutex;
  std::condition_variable mChanged;
  std::string mExpected;  // guarded by mMutex
  int mCalls = 0;         // guarded by mMutex
  int64_t mLastAt = 0;    // guarded by mMutex
};

void Prepare(int keys) {
  ZuLogSetLevel(ZU_LOG_ERROR);
  ChangingProcess::Get();
  WriteInPlace(FileText(keys, 0, 0));
}

void BM_CallbackAfterAnotherProcessSet(benchmark::State& state) {
  if (!PrivateConfigDir(state)) return;
  Prepare(kSmallFile);
  Seen seen;
  const int handle = property_watch(KeyName(0).c_str(), &Seen::Record, &seen);
  std::vector<double> latencies;
  int round = 0;
  for (auto _ : state) {
    seen.Expect(std::to_string(round % 100 + 1));
    const int64_t returnedAt = ChangingProcess::Get().Change('s', round++);
    const double us = static_cast<double>(seen.WaitFor(1) - returnedAt) / 1000.0;
    latencies.push_back(us);
    state.SetIterationTime(std::max(us, 0.0) / 1e6);
  }
  property_unwatch(handle);
  ReportPercentiles(state, latencies);
}
BENCHMARK(BM_CallbackAfterAnotherProcessSet)->UseManualTime()->Iterations(1000)->Unit(benchmark::kMicrosecond);

void BM_BaselineInotifyCloseToWake(benchmark::State& state) {
  if (!PrivateConfigDir(state)) return;
  Prepare(kSmallFile);
  const int fd = inotify_init1(IN_CLOEXEC);
  inotify_add_watch(fd, kConfigFile, IN_CLOSE_WRITE);
  alignas(inotify_event) char buffer[4096];
  std::vector<double> latencies;
  int round = 0;
  for (auto _ : state) {
    const int64_t closingAt = ChangingProcess::Get().Change('i', round++);
    if (read(fd, buffer, sizeof(buffer)) <= 0) break;
    const double us = static_cast<double>(MonotonicNs() - closingAt) / 1000.0;
    latencies.push_back(us);
    state.SetIterationTime(us / 1e6);
  }
  close(fd);
  ReportPercentiles(state, latencies);
}
BENCHMARK(BM_BaselineInotifyCloseToWake)->UseManualTime()->Iterations(1000)->Unit(benchmark::kMicrosecond);

// Args: keys watched, keys changed by each in-place rewrite. Time from the
// close to the callback of the last changed key.
void BM_DeliverChange(benchmark::State& state) {
  if (!PrivateConfigDir(state)) return;
  const int watched = static_cast<int>(state.range(0));
  const int changed = static_cast<int>(state.range(1));
  Prepare(kLargeFile);
  Seen seen;
  std::vector<int> handles;
  for (int i = 0; i < watched; ++i) handles.push_back(property_watch(KeyName(i).c_str(), &Seen::Record, &seen));
  std::vector<double> latencies;
  int round = 0;
  for (auto _ : state) {
    seen.Expect(std::to_string(++round));
    const int64_t closingAt = WriteInPlace(FileText(kLargeFile, changed, round));
    const double us = static_cast<double>(seen.WaitFor(changed) - closingAt) / 1000.0;
    latencies.push_back(us);
    state.SetIterationTime(us / 1e6);
  }
  for (int handle : handles) property_unwatch(handle);
  ReportPercentiles(state, latencies);
}
BENCHMARK(BM_DeliverChange)
    ->Args({10, 1})
    ->Args({100, 1})
    ->Args({1000, 1})
    ->Args({1000, 10})
    ->Args({1000, 100})
    ->UseManualTime()
    ->Iterations(500)
    ->Unit(benchmark::kMicrosecond);

void BM_WaitAlreadySatisfied(benchmark::State& state) {
  if (!PrivateConfigDir(state)) return;
  Prepare(kSmallFile);
  property_set(KeyName(0).c_str(), "ready");
  for (auto _ : state) benchmark::DoNotOptimize(property_wait(KeyName(0).c_str(), "ready", -1));
}
BENCHMARK(BM_WaitAlreadySatisfied);

void BM_BaselinePropertyGet(benchmark::State& state) {
  if (!PrivateConfigDir(state)) return;
  Prepare(kSmallFile);
  property_set(KeyName(0).c_str(), "ready");
  char value[PROPERTY_VALUE_SIZE];
  for (auto _ : state) benchmark::DoNotOptimize(property_get(KeyName(0).c_str(), value, ""));
}
BENCHMARK(BM_BaselinePropertyGet);

}  // namespace

BENCHMARK_MAIN();
