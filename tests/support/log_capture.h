// LogCapture: records the lines the libraries log, for tests to assert on.
//
// While a LogCapture lives, every line that passes the threshold (verbose and
// above by default) goes to it instead of standard error. Only one capture is
// active at a time. Lines logged on other threads (workers, watchers) are
// recorded too; the recorder itself is never destroyed, so a late line from a
// library thread after the capture ended is simply dropped.
#ifndef TESTS_SUPPORT_LOG_CAPTURE_H_
#define TESTS_SUPPORT_LOG_CAPTURE_H_

#include <chrono>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/log/zu_log.h"

namespace testing_support {

struct LogLine {
  int level;
  std::optional<std::string> tag;  // empty for a null tag
  std::string message;

  bool operator==(const LogLine& other) const {
    return level == other.level && tag == other.tag && message == other.message;
  }
};

std::ostream& operator<<(std::ostream& out, const LogLine& line);

class LogCapture {
 public:
  explicit LogCapture(int threshold = ZU_LOG_VERBOSE);
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Every line recorded so far, in the order they were logged.
  std::vector<LogLine> Lines() const;
  // The recorded lines with this tag (std::nullopt: the null tag).
  std::vector<LogLine> Lines(const std::optional<std::string>& tag) const;
  // How many recorded lines equal `line`.
  size_t Count(const LogLine& line) const;
  bool Contains(const LogLine& line) const { return Count(line) > 0; }
  // Waits until `line` was recorded at least `times` times; false after
  // `timeout`.
  bool WaitFor(const LogLine& line, size_t times = 1,
               std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  void Clear();

 private:
  int mPreviousThreshold;
};

}  // namespace testing_support

#endif  // TESTS_SUPPORT_LOG_CAPTURE_H_
