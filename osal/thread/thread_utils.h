// Thread utilities and clocks: thin wrappers over the platform's thread and
// clock calls.
//
// Thread identity: a thread has two identities. GetTid() is the kernel's
// small integer thread id (what `ps -L` and the log show); GetThreadId() is
// the threads library's handle (pthread_t), the one to compare threads by
// and to pass to SetThreadPriority.
//
// Clocks read microseconds as tv_sec * 1000000 + tv_nsec / 1000 in signed
// 64-bit arithmetic; the sub-microsecond rest is dropped, never rounded up.
// A failed clock read yields 0.
//
// Thread safety: no state; every function may be called from any thread at
// any time. Log lines go to the tag "ZuThread".
#ifndef OSAL_THREAD_THREAD_UTILS_H_
#define OSAL_THREAD_THREAD_UTILS_H_

#include <pthread.h>
#include <sys/types.h>

#include <cstdint>
#include <string>

#include "osal/osal_export.h"

namespace osal {

// Returns the kernel thread id of the calling thread (the gettid system call).
OSAL_EXPORT pid_t GetTid();

// Returns the threads library's handle of the calling thread (pthread_self).
OSAL_EXPORT pthread_t GetThreadId();

// Names the calling thread. The kernel keeps the first 15 bytes of `name`.
// An empty name is refused with a warning and the thread keeps its name.
OSAL_EXPORT void SetThreadName(const std::string& name);

// Switches `thread` (a pthread_t passed as long) to first-in-first-out
// real-time scheduling at `priority`, whatever policy it had. Returns 0, or
// the positive error number of the failing thread call (out-of-range
// priority, no privilege for real-time scheduling), which is also logged as
// an error; on failure the thread keeps its scheduling.
OSAL_EXPORT int SetThreadPriority(long thread, int priority);

// Wall-clock time in microseconds (CLOCK_REALTIME): follows changes of the
// system time.
OSAL_EXPORT int64_t GetTimeUs();

// Monotonic time since boot in microseconds, not counting suspend
// (CLOCK_MONOTONIC, the clock of std::chrono::steady_clock). Never decreases.
OSAL_EXPORT int64_t GetTimeUsBoot();

// Time since boot in microseconds including suspend (CLOCK_BOOTTIME); never
// smaller than GetTimeUsBoot() read at the same moment.
OSAL_EXPORT int64_t GetTimeUsBootWithSuspend();

}  // namespace osal

#endif  // OSAL_THREAD_THREAD_UTILS_H_
