#include "platform/log/zu_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/log_capture.h"

namespace {

using testing_support::LogCapture;

// Read while the program's static objects are built, before any test could
// have changed the threshold.
const int kThresholdAtStart = ZuLogGetLevel();

// Run alone in a process of its own by the test below.
TEST(ZuLog, PrintsTheThresholdAtStart) { printf("threshold at start: %d\n", kThresholdAtStart); }

TEST(ZuLog, ThresholdAtStartIsWarningOrTheOneZulogLevelNames) {
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
  ASSERT_GT(length, 0);
  self[length] = '\0';
  const struct {
    const char* setting;  // null: unset
    int threshold;
  } cases[] = {{nullptr, ZU_LOG_WARN}, {"verbose", ZU_LOG_VERBOSE}, {"d", ZU_LOG_DEBUG}, {"Info", ZU_LOG_INFO},
               {"E", ZU_LOG_ERROR},    {"", ZU_LOG_WARN},           {"loud", ZU_LOG_WARN}};
  for (const auto& c : cases) {
    const std::string command = (c.setting ? "ZULOG_LEVEL='" + std::string(c.setting) + "' " : "env -u ZULOG_LEVEL ") +
                                TEST_EMULATOR " " + self + " --gtest_filter=ZuLog.PrintsTheThresholdAtStart";
    FILE* child = popen(command.c_str(), "r");
    ASSERT_NE(child, nullptr);
    char line[256];
    std::string out;
    while (fgets(line, sizeof(line), child) != nullptr) out += line;
    EXPECT_EQ(pclose(child), 0);
    EXPECT_NE(out.find("threshold at start: " + std::to_string(c.threshold) + "\n"), std::string::npos)
        << (c.setting ? c.setting : "(unset)") << "\n" << out;
  }
}

TEST(ZuLog, FiltersBelowTheThresholdBeforeFormatting) {
  LogCapture log(ZU_LOG_DEBUG);
  EXPECT_EQ(ZuLogGetLevel(), ZU_LOG_DEBUG);
  // A verbose line is dropped before its arguments are looked at: a bad
  // pointer for %s would crash a formatter.
  EXPECT_EQ(ZuLogPrint(ZU_LOG_VERBOSE, "T", "%s", reinterpret_cast<const char*>(16)), 0);
  EXPECT_EQ(ZuLogPrint(ZU_LOG_DEBUG, "T", "shown %d", 3), 7);
  ZuLogSetLevel(ZU_LOG_ERROR);
  ZuLogPrint(ZU_LOG_WARN, "T", "hidden");
  ZuLogPrint(ZU_LOG_ERROR, nullptr, "null tag %s", "ok");
  const auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], (testing_support::LogLine{ZU_LOG_DEBUG, "T", "shown 3"}));
  EXPECT_EQ(lines[1], (testing_support::LogLine{ZU_LOG_ERROR, std::nullopt, "null tag ok"}));
}

TEST(ZuLog, LongMessagesArriveWhole) {
  LogCapture log;
  const std::string text(5000, 'x');
  ZuLogPrint(ZU_LOG_INFO, "T", "<%s>", text.c_str());
  ASSERT_EQ(log.Lines().size(), 1u);
  EXPECT_EQ(log.Lines()[0].message, "<" + text + ">");
}

// Runs `body` with standard error sent to a file and returns what it wrote.
template <typename Body>
std::string CaptureStderr(Body body) {
  char path[] = "/tmp/zulog-XXXXXX";
  const int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  fflush(stderr);
  const int saved = dup(STDERR_FILENO);
  dup2(fd, STDERR_FILENO);
  body();
  dup2(saved, STDERR_FILENO);
  close(saved);
  close(fd);
  std::ifstream in(path);
  std::stringstream content;
  content << in.rdbuf();
  unlink(path);
  return content.str();
}

TEST(ZuLog, StderrLinesNeverInterleaveAcrossThreads) {
  constexpr int kThreads = 4;
  constexpr int kLines = 500;
  const std::string payload(300, 'p');
  const std::string out = CaptureStderr([&] {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < kLines; ++i) ZuLogPrint(ZU_LOG_WARN, t % 2 ? "Tag" : nullptr, "%d %s", t, payload.c_str());
      });
    }
    for (auto& thread : threads) thread.join();
  });
  const std::regex line(
      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6} \d+ \d+ W (Tag|-): [0-3] p{300})");
  std::istringstream in(out);
  std::string text;
  int count = 0;
  while (std::getline(in, text)) {
    ASSERT_TRUE(std::regex_match(text, line)) << text;
    ++count;
  }
  EXPECT_EQ(count, kThreads * kLines);
}

// Waits up to `limit` for the child to exit; kills it if it does not.
bool ExitsWithin(pid_t child, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      return false;
    }
    std::this_thread::yield();
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A child forked while another thread is in the middle of a line must be
// able to log (without the fork handlers it finds the log's lock held for
// good, most often within a few dozen forks).
TEST(ZuLog, ChildForkedWhileAnotherThreadLogsCanLog) {
  fflush(stderr);
  const int saved = dup(STDERR_FILENO);
  const int null = open("/dev/null", O_WRONLY);
  dup2(null, STDERR_FILENO);
  std::atomic<bool> stop{false};
  std::thread logger([&] {
    while (!stop) ZuLogPrint(ZU_LOG_WARN, "T", "busy %d", 1);
  });
  int stuck = 0;
  for (int i = 0; i < 200 && stuck == 0; ++i) {
    const pid_t child = fork();
    if (child == 0) {
      ZuLogPrint(ZU_LOG_WARN, "T", "child %d", i);
      _exit(0);
    }
    ASSERT_GT(child, 0);
    if (!ExitsWithin(child, std::chrono::seconds(10))) ++stuck;
  }
  stop = true;
  logger.join();
  dup2(saved, STDERR_FILENO);
  close(saved);
  close(null);
  EXPECT_EQ(stuck, 0);
}

TEST(Platform, ReportsTheArchitectureItRunsOn) {
  utsname name{};
  ASSERT_EQ(uname(&name), 0);
#if defined(__aarch64__)
  EXPECT_STREQ(name.machine, "aarch64");
#elif defined(__x86_64__)
  EXPECT_STREQ(name.machine, "x86_64");
#endif
  printf("running on %s\n", name.machine);
}

}  // namespace
