// Backtrace printing.
#include <execinfo.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "osal/memory/backtrace.h"
#include "tests/support/log_capture.h"

namespace osal {
namespace {

using testing::ElementsAre;
using testing::IsEmpty;
using testing_support::LogCapture;
using testing_support::LogLine;

// Keeps a call from becoming a jump, so that its caller's frame stays on the
// stack under optimisation.
#define KEEP_FRAME() asm volatile("" ::: "memory")

std::vector<std::string> FrameLines(const LogCapture& log) {
  std::vector<std::string> lines;
  for (const LogLine& line : log.Lines("DEBUG")) {
    if (line.level == ZU_LOG_DEBUG) lines.push_back(line.message);
  }
  return lines;
}

struct Traces {
  int printed = 0;                // PrintBacktrace's result
  std::vector<std::string> here;  // the stack as seen from the same function
};

__attribute__((noinline)) Traces Innermost(int depth) {
  Traces traces;
  traces.printed = PrintBacktrace(depth);
  KEEP_FRAME();
  std::vector<void*> frames(static_cast<size_t>(depth));
  const int count = backtrace(frames.data(), depth);
  char** texts = backtrace_symbols(frames.data(), count);
  if (texts != nullptr) traces.here.assign(texts, texts + count);
  free(texts);
  KEEP_FRAME();
  return traces;
}

__attribute__((noinline)) Traces Middle(int depth) {
  Traces traces = Innermost(depth);
  KEEP_FRAME();
  return traces;
}

__attribute__((noinline)) Traces Outer(int depth) {
  Traces traces = Middle(depth);
  KEEP_FRAME();
  return traces;
}

__attribute__((noinline)) int PrintFromHere(int depth) {
  const int printed = PrintBacktrace(depth);
  KEEP_FRAME();
  return printed;
}

__attribute__((noinline)) int PrintFromRecursion(int levels, int depth) {
  const int printed = levels == 0 ? PrintBacktrace(depth) : PrintFromRecursion(levels - 1, depth);
  KEEP_FRAME();
  return printed;
}

TEST(PrintBacktraceTest, LogsFrameLinesInnermostCallerFirst) {
  for (int depth : {10, 64}) {
    SCOPED_TRACE(depth);
    LogCapture log;
    const Traces traces = Outer(depth);
    const std::vector<std::string> lines = FrameLines(log);
    ASSERT_GE(traces.printed, 4);  // PrintBacktrace, Innermost, Middle, Outer
    ASSERT_LE(traces.printed, depth);
    EXPECT_EQ(lines.size(), static_cast<size_t>(traces.printed - 1));
    if (traces.printed < depth) {
      // The whole stack fitted: PrintBacktrace saw one frame more than
      // Innermost sees of itself.
      EXPECT_EQ(traces.here.size(), lines.size());
    }
    // Line 0 is Innermost's call of PrintBacktrace and here[0] its call of
    // backtrace; a sanitizer's backtrace wrapper puts one more frame at the
    // front of both. Either way, from index 2 on both lists hold the same
    // frames (Middle or Outer onwards) in the same order, outwards.
    const size_t compared = std::min(lines.size(), traces.here.size());
    ASSERT_GE(compared, 5u);
    for (size_t i = 2; i < compared; ++i) EXPECT_EQ(lines[i], traces.here[i]) << i;
  }
}

TEST(PrintBacktraceTest, DepthOfZeroOrLessMeansTwenty) {
  LogCapture log;
  const int twenty = PrintFromHere(20);
  log.Clear();
  for (int depth : {0, -5}) {
    EXPECT_EQ(PrintFromHere(depth), twenty);
    EXPECT_EQ(FrameLines(log).size(), static_cast<size_t>(twenty - 1));
    EXPECT_EQ(log.Count({ZU_LOG_INFO, std::string("DEBUG"), "When depth <= 0, set depth equal to default depth: 20"}),
              1u);
    log.Clear();
  }
}

TEST(PrintBacktraceTest, DepthOfOneCapturesOnlyItself) {
  LogCapture log;
  EXPECT_EQ(PrintFromHere(1), 1);
  EXPECT_THAT(log.Lines(), IsEmpty());
}

TEST(PrintBacktraceTest, HugeDepthIsBounded) {
  LogCapture log;
  EXPECT_EQ(PrintFromRecursion(kMaxBacktraceDepth + 50, INT_MAX), kMaxBacktraceDepth);
  EXPECT_EQ(FrameLines(log).size(), static_cast<size_t>(kMaxBacktraceDepth - 1));
  log.Clear();
  const int whole = PrintFromHere(kMaxBacktraceDepth);
  EXPECT_LT(whole, kMaxBacktraceDepth);
  EXPECT_EQ(PrintFromHere(INT_MAX), whole);
}

}  // namespace
}  // namespace osal
