// The platform log.
//
// Every line the libraries write goes through `ZuLogPrint`. The stand-in
// library that provides it writes one whole line per call to standard error
// (or to a sink a program installs), never interleaving lines of different
// threads:
//
//   2026-12-07 20:48:34.123456 4242 4243 E MediaMeta: name (nil), data ...
//
// time, process id, kernel thread id, level letter (V D I W E), tag (or "-"
// for a null tag) and the message.
//
// Filtering happens before any formatting: a call below the threshold costs
// one atomic load and returns, so hot paths may log verbose lines freely.
//
// Thread safety: every function may be called from any thread at any time,
// also while the caller holds its own locks, during process exit (the log
// keeps no state that a static destructor could tear down) and in a child
// forked while other threads were logging (fork handlers hand the child the
// log's locks released).
#ifndef PLATFORM_LOG_ZU_LOG_H_
#define PLATFORM_LOG_ZU_LOG_H_

#define ZULOG_EXPORT __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

// Log levels the libraries pass.
enum ZuLogLevel {
  ZU_LOG_VERBOSE = 2,
  ZU_LOG_DEBUG = 3,
  ZU_LOG_INFO = 4,
  ZU_LOG_WARN = 5,
  ZU_LOG_ERROR = 6,
};

// Writes one line at `level` with `tag` (may be null) and the printf-style
// `format`. Returns the number of characters of the formatted message, or 0
// when the level is below the threshold.
ZULOG_EXPORT int ZuLogPrint(int level, const char* tag, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Lines below `level` are dropped before they are formatted. The default is
// ZU_LOG_WARN (warnings and errors), or the level the environment variable
// ZULOG_LEVEL names when the library is loaded: verbose, debug, info, warning
// or error, of which only the first letter counts (V, D, I, W, E; any case).
ZULOG_EXPORT void ZuLogSetLevel(int level);

// Returns the current threshold.
ZULOG_EXPORT int ZuLogGetLevel(void);

// Receives each line that passes the threshold, formatted, instead of
// standard error. Called on the logging thread, without any lock of the log
// held; it must be safe for concurrent calls and must not log itself.
typedef void (*ZuLogSink)(int level, const char* tag, const char* message, void* context);

// Installs `sink` with its `context`; a null sink restores standard error.
// A sink must stay callable until it has been replaced and every thread that
// may still be logging through it has returned from ZuLogPrint.
ZULOG_EXPORT void ZuLogSetSink(ZuLogSink sink, void* context);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // PLATFORM_LOG_ZU_LOG_H_
