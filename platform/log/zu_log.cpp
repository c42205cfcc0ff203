#include "platform/log/zu_log.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Only trivially destructible state: threads of libraries that are unloaded
// after the program's static objects are gone may still log.
std::atomic<int> gThreshold{ZU_LOG_WARN};
pthread_mutex_t gSinkMutex = PTHREAD_MUTEX_INITIALIZER;    // guards gSink, gSinkContext
pthread_mutex_t gStderrMutex = PTHREAD_MUTEX_INITIALIZER;  // keeps lines whole on stderr
ZuLogSink gSink = nullptr;
void* gSinkContext = nullptr;

constexpr size_t kStackLine = 1024;

// The letter of each level, at its number.
constexpr char kLevelLetters[] = "??VDIWE";

char LevelLetter(int level) {
  return (level >= 0 && level <= ZU_LOG_ERROR) ? kLevelLetters[level] : '?';
}

void WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    size -= static_cast<size_t>(n);
  }
}

void WriteToStderr(int level, const char* tag, const char* message) {
  // The whole line is made under the mutex, localtime_r included: the
  // prepare handler at fork takes this mutex, so no logging thread is then
  // inside the C library's time zone lock, which a child would never see
  // released.
  pthread_mutex_lock(&gStderrMutex);
  struct timespec now = {};
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm local = {};
  localtime_r(&now.tv_sec, &local);
  char stamp[32];
  strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &local);

  char stack[kStackLine];
  const char* fmt = "%s.%06ld %d %ld %c %s: %s\n";
  const long tid = syscall(SYS_gettid);
  const long usec = now.tv_nsec / 1000;
  const char* shown = tag != nullptr ? tag : "-";
  int length = snprintf(stack, sizeof(stack), fmt, stamp, usec, getpid(), tid, LevelLetter(level),
                        shown, message);
  char* line = stack;
  if (length >= 0 && static_cast<size_t>(length) >= sizeof(stack)) {
    line = static_cast<char*>(malloc(static_cast<size_t>(length) + 1));
    if (line != nullptr) {
      snprintf(line, static_cast<size_t>(length) + 1, fmt, stamp, usec, getpid(), tid,
               LevelLetter(level), shown, message);
    }
  }
  if (length >= 0 && line != nullptr) WriteAll(STDERR_FILENO, line, static_cast<size_t>(length));
  pthread_mutex_unlock(&gStderrMutex);
  if (line != stack) free(line);
}

void Deliver(int level, const char* tag, const char* message) {
  pthread_mutex_lock(&gSinkMutex);
  ZuLogSink sink = gSink;
  void* context = gSinkContext;
  pthread_mutex_unlock(&gSinkMutex);
  if (sink != nullptr) {
    sink(level, tag, message, context);
  } else {
    WriteToStderr(level, tag, message);
  }
}

// Kept out of ZuLogPrint, so that a call below the threshold does not pay
// for this frame and its line buffer.
__attribute__((noinline)) int FormatAndDeliver(int level, const char* tag, const char* format,
                                               va_list args) {
  char stack[kStackLine];
  va_list again;
  va_copy(again, args);
  const int length = vsnprintf(stack, sizeof(stack), format, args);
  if (length < 0) {
    va_end(again);
    return 0;
  }
  char* message = stack;
  if (static_cast<size_t>(length) >= sizeof(stack)) {
    message = static_cast<char*>(malloc(static_cast<size_t>(length) + 1));
    if (message != nullptr) vsnprintf(message, static_cast<size_t>(length) + 1, format, again);
  }
  va_end(again);
  if (message == nullptr) return 0;
  Deliver(level, tag, message);
  if (message != stack) free(message);
  return length;
}

// A child forked while another thread held one of the log's mutexes would
// find it locked for good; the forking thread holds both across fork, so
// parent and child each get them back released.
void LockForFork() {
  pthread_mutex_lock(&gSinkMutex);
  pthread_mutex_lock(&gStderrMutex);
}

void UnlockAfterFork() {
  pthread_mutex_unlock(&gStderrMutex);
  pthread_mutex_unlock(&gSinkMutex);
}

// The threshold ZULOG_LEVEL names by its first letter (as in "debug" or
// "D"), or -1 when it names none.
int ThresholdFromEnvironment() {
  const char* name = getenv("ZULOG_LEVEL");
  if (name == nullptr) return -1;
  const int first = toupper(static_cast<unsigned char>(name[0]));
  const char* letter = first == 0 ? nullptr : strchr(kLevelLetters + ZU_LOG_VERBOSE, first);
  return letter != nullptr ? static_cast<int>(letter - kLevelLetters) : -1;
}

__attribute__((constructor)) void InitLog() {
  const int threshold = ThresholdFromEnvironment();
  if (threshold >= 0) gThreshold.store(threshold, std::memory_order_relaxed);
  pthread_atfork(&LockForFork, &UnlockAfterFork, &UnlockAfterFork);
}

}  // namespace

extern "C" {

ZULOG_EXPORT int ZuLogPrint(int level, const char* tag, const char* format, ...) {
  if (level < gThreshold.load(std::memory_order_relaxed) || format == nullptr) return 0;
  va_list args;
  va_start(args, format);
  const int length = FormatAndDeliver(level, tag, format, args);
  va_end(args);
  return length;
}

ZULOG_EXPORT void ZuLogSetLevel(int level) { gThreshold.store(level, std::memory_order_relaxed); }

ZULOG_EXPORT int ZuLogGetLevel(void) { return gThreshold.load(std::memory_order_relaxed); }

ZULOG_EXPORT void ZuLogSetSink(ZuLogSink sink, void* context) {
  pthread_mutex_lock(&gSinkMutex);
  gSink = sink;
  gSinkContext = context;
  pthread_mutex_unlock(&gSinkMutex);
}

}  // extern "C"
