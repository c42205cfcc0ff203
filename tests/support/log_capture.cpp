#include "tests/support/log_capture.h"

#include <condition_variable>
#include <mutex>

namespace testing_support {
namespace {

struct Recorder {
  std::mutex mutex;
  std::condition_variable changed;
  bool active = false;  // guarded by mutex
  std::vector<LogLine> lines;  // guarded by mutex
};

// Leaked on purpose: library threads may log after static destruction.
Recorder& TheRecorder() {
  static Recorder* recorder = new Recorder();
  return *recorder;
}

void Record(int level, const char* tag, const char* message, void*) {
  Recorder& recorder = TheRecorder();
  std::lock_guard<std::mutex> lock(recorder.mutex);
  if (!recorder.active) return;
  recorder.lines.push_back(
      {level, tag ? std::optional<std::string>(tag) : std::nullopt, std::string(message)});
  recorder.changed.notify_all();
}

}  // namespace

std::ostream& operator<<(std::ostream& out, const LogLine& line) {
  return out << "{" << line.level << ", " << (line.tag ? *line.tag : "(null)") << ", \""
             << line.message << "\"}";
}

LogCapture::LogCapture(int threshold) : mPreviousThreshold(ZuLogGetLevel()) {
  Recorder& recorder = TheRecorder();
  {
    std::lock_guard<std::mutex> lock(recorder.mutex);
    recorder.lines.clear();
    recorder.active = true;
  }
  ZuLogSetLevel(threshold);
  ZuLogSetSink(&Record, nullptr);
}

LogCapture::~LogCapture() {
  ZuLogSetSink(nullptr, nullptr);
  ZuLogSetLevel(mPreviousThreshold);
  Recorder& recorder = TheRecorder();
  std::lock_guard<std::mutex> lock(recorder.mutex);
  recorder.active = false;
  recorder.lines.clear();
}

std::vector<LogLine> LogCapture::Lines() const {
  Recorder& recorder = TheRecorder();
  std::lock_guard<std::mutex> lock(recorder.mutex);
  return recorder.lines;
}

std::vector<LogLine> LogCapture::Lines(const std::optional<std::string>& tag) const {
  std::vector<LogLine> selected;
  for (LogLine& line : Lines()) {
    if (line.tag == tag) selected.push_back(std::move(line));
  }
  return selected;
}

size_t LogCapture::Count(const LogLine& wanted) const {
  size_t count = 0;
  for (const LogLine& line : Lines()) count += line == wanted ? 1 : 0;
  return count;
}

bool LogCapture::WaitFor(const LogLine& line, size_t times, std::chrono::milliseconds timeout) const {
  Recorder& recorder = TheRecorder();
  std::unique_lock<std::mutex> lock(recorder.mutex);
  return recorder.changed.wait_for(lock, timeout, [&] {
    size_t count = 0;
    for (const LogLine& recorded : recorder.lines) count += recorded == line ? 1 : 0;
    return count >= times;
  });
}

void LogCapture::Clear() {
  Recorder& recorder = TheRecorder();
  std::lock_guard<std::mutex> lock(recorder.mutex);
  recorder.lines.clear();
}

}  // namespace testing_support
