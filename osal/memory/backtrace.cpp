#include "osal/memory/backtrace.h"

#include <execinfo.h>

#include <algorithm>
#include <cstdlib>

#include "platform/log/zu_log.h"

namespace osal {
namespace {

constexpr const char* kTag = "DEBUG";
constexpr int kDefaultDepth = 20;

}  // namespace

int PrintBacktrace(int depth) {
  if (depth <= 0) {
    ZuLogPrint(ZU_LOG_INFO, kTag, "When depth <= 0, set depth equal to default depth: %d", kDefaultDepth);
    depth = kDefaultDepth;
  }
  void* frames[kMaxBacktraceDepth];
  const int count = backtrace(frames, std::min(depth, kMaxBacktraceDepth));
  if (count <= 0) {
    ZuLogPrint(ZU_LOG_WARN, kTag, "Failed to get backtrace, whether this function is called by other functions?");
    return -1;
  }
  char** texts = backtrace_symbols(frames, count);
  if (texts == nullptr) {
    ZuLogPrint(ZU_LOG_WARN, kTag, "Failed to get backtrace");
    return -1;
  }
  for (int i = 1; i < count; ++i) ZuLogPrint(ZU_LOG_DEBUG, kTag, "%s", texts[i]);
  free(texts);
  return count;
}

}  // namespace osal
