// Backtrace printing for debugging.
//
// PrintBacktrace writes the calling thread's call stack to the log, one
// debug line per frame under the tag "DEBUG", innermost caller first. How
// much a frame line tells depends on the symbols the binary exports: a
// function that is not in the dynamic symbol table (static functions, or an
// executable linked without -rdynamic) shows as its module, offset and
// address only.
//
// Thread safety: keeps no state; any thread may call it and sees its own
// stack. It allocates (the frame texts), so it is not for signal handlers.
#ifndef OSAL_MEMORY_BACKTRACE_H_
#define OSAL_MEMORY_BACKTRACE_H_

#include "osal/osal_export.h"

namespace osal {

// Largest number of frames PrintBacktrace captures, whatever depth it is
// given; it bounds the frame buffer it keeps on the caller's stack.
inline constexpr int kMaxBacktraceDepth = 256;

// Captures up to `depth` frames (20 when `depth` is 0 or negative, with an
// information line saying so; at most kMaxBacktraceDepth) and logs frames 1
// onwards, one debug line each; frame 0 is PrintBacktrace itself and is not
// logged. Returns the number of frames captured, frame 0 included, so one
// more than the lines logged; -1, with a warning line, when nothing could
// be captured or turned into text.
OSAL_EXPORT int PrintBacktrace(int depth);

}  // namespace osal

#endif  // OSAL_MEMORY_BACKTRACE_H_
