#include "osal/thread/thread_utils.h"

#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include "platform/log/zu_log.h"

namespace osal {
namespace {

constexpr const char* kTag = "ZuThread";

int64_t ReadClockUs(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

}  // namespace

pid_t GetTid() {
  return static_cast<pid_t>(syscall(SYS_gettid));
}

pthread_t GetThreadId() {
  return pthread_self();
}

void SetThreadName(const std::string& name) {
  if (name.empty()) {
    ZuLogPrint(ZU_LOG_WARN, kTag, "%s: ThreadName can't be empty.", "SetThreadName");
    return;
  }
  prctl(PR_SET_NAME, name.c_str(), 0, 0, 0);
}

int SetThreadPriority(long thread, int priority) {
  const auto handle = static_cast<pthread_t>(thread);
  int policy = 0;
  sched_param param{};
  int ret = pthread_getschedparam(handle, &policy, &param);
  if (ret != 0) {
    ZuLogPrint(ZU_LOG_ERROR, kTag, "%s: pthread_getschedparam failed: %d, %s", "SetThreadPriority", ret,
               strerror(ret));
    return ret;
  }
  param.sched_priority = priority;
  ret = pthread_setschedparam(handle, SCHED_FIFO, &param);
  if (ret != 0) {
    ZuLogPrint(ZU_LOG_ERROR, kTag, "%s: pthread_setschedparam failed: %d, %s", "SetThreadPriority", ret,
               strerror(ret));
    return ret;
  }
  return 0;
}

int64_t GetTimeUs() {
  return ReadClockUs(CLOCK_REALTIME);
}

int64_t GetTimeUsBoot() {
  return ReadClockUs(CLOCK_MONOTONIC);
}

int64_t GetTimeUsBootWithSuspend() {
  return ReadClockUs(CLOCK_BOOTTIME);
}

}  // namespace osal
