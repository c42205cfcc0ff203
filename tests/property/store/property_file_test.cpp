#include "property/store/property_file.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <thread>
#include <string>
#include <tuple>
#include <vector>

#include "property/store/inotify_watch_property.h"
#include "property/store/property_api.h"
#include "tests/property/store/store_test_util.h"
#include "tests/support/log_capture.h"

namespace {

using store_test::CountingObserver;
using store_test::Exists;
using store_test::ReadText;
using store_test::TempDir;
using store_test::WaitUntil;
using store_test::WriteText;
using testing_support::LogCapture;
using testing_support::LogLine;

constexpr char kTag[] = "MJPRPERYIES";

LogLine Store(int level, const std::string& message) { return {level, std::string(kTag), message}; }

struct LineCase {
  std::string line;
  bool pair;
  std::string key;
  std::string value;
};

TEST(PropertyFileTest, LineRules) {
  const std::vector<LineCase> cases = {
      {"  p = v  # note", true, "p", "v"},
      {"a=b=c", true, "a", "b=c"},
      {"p=", true, "p", ""},
      {"\tk\t=\t v \t", true, "k", "v"},
      {"k = v\r", true, "k", "v\r"},       // a carriage return is no space
      {"\vk=v", true, "\vk", "v"},         // nor is a vertical tab
      {"key = a#b", true, "key", "a"},
      {"key = ab #", true, "key", "ab"},
      {"=5", false, "", ""},
      {" \t = 5", false, "", ""},
      {"# x=1", false, "", ""},
      {" # x=1", false, "", ""},
      {"k#=v", false, "", ""},
      {"plain text", false, "", ""},
      {"", false, "", ""},
      {"  \t ", false, "", ""},
  };
  PropertyFile file;
  for (const LineCase& c : cases) {
    std::string key = "stale";
    std::string value = "stale";
    ASSERT_EQ(file.AnalyseLine(c.line, key, value), c.pair) << '"' << c.line << '"';
    if (!c.pair) continue;
    EXPECT_EQ(key, c.key) << '"' << c.line << '"';
    EXPECT_EQ(value, c.value) << '"' << c.line << '"';
  }
  EXPECT_TRUE(file.IsSpace(' '));
  EXPECT_TRUE(file.IsSpace('\t'));
  for (char c : {'\n', '\r', '\v', '\f', 'a'}) EXPECT_FALSE(file.IsSpace(c));
  EXPECT_TRUE(file.IsCommentChar('#'));
  EXPECT_FALSE(file.IsCommentChar(';'));
  std::string blanks = " \t \t";
  file.Trim(blanks);
  EXPECT_EQ(blanks, "");
}

TEST(PropertyFileTest, ReadKeepsTheLastOccurrenceAndTheCarriageReturn) {
  TempDir dir;
  const std::string path = dir.File("p.cfg");
  WriteText(path, "a=1\n# c=3\nb = x # y\r\ncr=v\r\na=2\nx\n\nlast=z");
  PropertyFile file;
  ASSERT_TRUE(file.ReadConfig(path));
  const PropertyFile::PropertyMap expected = {{"a", "2"}, {"b", "x"}, {"cr", "v\r"}, {"last", "z"}};
  EXPECT_EQ(file.Properties(), expected);
}

TEST(PropertyFileTest, RewriteKeepsOtherLinesThenSortedPairs) {
  TempDir dir;
  const std::string path = dir.File("p.cfg");
  WriteText(path, "# head\nb=1 # gone\nx\n\n=7\nlast line");
  PropertyFile file;
  char value[PROPERTY_VALUE_SIZE];
  ASSERT_EQ(file.Set(path.c_str(), "b", "2"), 0);
  ASSERT_EQ(file.Set(path.c_str(), "a", "1"), 0);
  EXPECT_EQ(ReadText(path), "# head\nx\n\n=7\nlast line\na=1\nb=2\n");

  PropertyFile reader;
  ASSERT_TRUE(reader.ReadConfig(path));
  EXPECT_EQ(reader.Get(path.c_str(), "b", value, nullptr), 1);
  EXPECT_STREQ(value, "2");
}

// A pair whose line would read back differently (or as no pair, so that
// every further set would append another copy) is refused; what does read
// back is taken.
TEST(PropertyFileTest, PairsThatWouldNotReadBackAreRefused) {
  LogCapture log;
  TempDir dir;
  const std::string path = dir.File("p.cfg");
  WriteText(path, "a=1\n");
  PropertyFile file;
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"a#b", "v"}, {"#k", "v"}, {"   ", "v"}, {" k", "v"}, {"k\t", "v"},  {"k", " v "},
      {"k", "v\t"},  {"k", "a#b"}, {"k", "#"},  {"k=x", "v"}, {"=", "v"},
  };
  for (int round = 0; round < 2; ++round) {
    for (const auto& [key, value] : refused) {
      EXPECT_EQ(file.Set(path.c_str(), key.c_str(), value.c_str()), -1) << '"' << key << "\" = \"" << value << '"';
    }
  }
  EXPECT_EQ(ReadText(path), "a=1\n");
  EXPECT_EQ(log.Count(Store(ZU_LOG_ERROR,
                            "property key or value would not read back: no '#', no '=' in the key, no blanks at "
                            "either end")),
            2 * refused.size());

  const std::vector<std::pair<std::string, std::string>> taken = {
      {"k", "a=b"}, {"k.x", "v\r"}, {"e", ""}, {"in side", "with blanks inside"}};
  for (const auto& [key, value] : taken) ASSERT_EQ(file.Set(path.c_str(), key.c_str(), value.c_str()), 0) << key;
  PropertyFile reader;
  ASSERT_TRUE(reader.ReadConfig(path));
  for (const auto& [key, value] : taken) EXPECT_EQ(reader.Properties().at(key), value) << key;
}

// A NUL byte in the file ends the value: the length returned is what was
// copied.
TEST(PropertyFileTest, GetReturnsTheLengthCopiedUpToANulByte) {
  TempDir dir;
  const std::string path = dir.File("p.cfg");
  WriteText(path, std::string("k=ab\0cdef\nlong=", 15) + std::string(50, 'x') + '\0' + std::string(60, 'y') + "\n");
  PropertyFile file;
  char value[PROPERTY_VALUE_SIZE];
  EXPECT_EQ(file.Get(path.c_str(), "k", value, nullptr), 2);
  EXPECT_STREQ(value, "ab");
  EXPECT_EQ(file.Get(path.c_str(), "long", value, nullptr), 50);
  EXPECT_EQ(std::string(value), std::string(50, 'x'));
}

// Paths are told apart by their text, also in a buffer the caller reuses.
TEST(PropertyFileTest, APathBufferRewrittenInPlaceNamesTheNewFile) {
  TempDir dir;
  PropertyFile file;
  char path[256];
  char value[PROPERTY_VALUE_SIZE];
  for (const char* name : {"a", "b"}) {
    WriteText(dir.File(name), std::string("k=from-") + name + "\n");
    snprintf(path, sizeof(path), "%s", dir.File(name).c_str());
    file.Get(path, "k", value, nullptr);
    EXPECT_EQ(std::string(value), std::string("from-") + name);
  }
}

TEST(PropertyFileTest, MissingFileIsNeverCreatedAndRegisteredOnce) {
  LogCapture log;
  TempDir dir;
  const std::string missing = dir.File("missing.cfg");
  const std::string present = dir.File("present.cfg");
  WriteText(present, "a=1\n");
  PropertyFile file;
  EXPECT_FALSE(file.WriteConfig(missing));
  EXPECT_TRUE(log.Contains(Store(ZU_LOG_ERROR, "file write error fileName=" + missing)));
  EXPECT_FALSE(Exists(missing));

  EXPECT_FALSE(file.ReadConfig(missing));
  EXPECT_TRUE(log.Contains(Store(ZU_LOG_ERROR, "file open error fileName=" + missing)));
  EXPECT_EQ(log.Count({ZU_LOG_ERROR, std::nullopt, "inotify_add_watch"}), 1u);
  ASSERT_TRUE(file.ReadConfig(present));
  EXPECT_EQ(file.Properties().size(), 1u);
  EXPECT_FALSE(file.ReadConfig(missing));
  EXPECT_TRUE(file.Properties().empty());
  EXPECT_EQ(log.Count({ZU_LOG_ERROR, std::nullopt, "inotify_add_watch"}), 1u);
  EXPECT_EQ(log.Count({ZU_LOG_INFO, std::nullopt, "This filePath is already watched: " + present}), 0u);

  // Set keeps the value in memory when the file is missing.
  PropertyFile memoryOnly;
  char value[PROPERTY_VALUE_SIZE];
  EXPECT_EQ(memoryOnly.Set(missing.c_str(), "k", "v"), 0);
  EXPECT_EQ(memoryOnly.Get(missing.c_str(), "k", value, "d"), 1);
  EXPECT_STREQ(value, "v");
  EXPECT_FALSE(Exists(missing));
}

class PropertyAccessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    mPath = mDir.File("p.cfg");
    WriteText(mPath, "# properties\n");
    memset(mValue, 'Z', sizeof(mValue));
  }

  int Get(const char* key, const char* fallback) { return mFile.Get(mPath.c_str(), key, mValue, fallback); }
  int Set(const char* key, const char* value) { return mFile.Set(mPath.c_str(), key, value); }
  bool TailUntouched() const {
    for (size_t i = PROPERTY_VALUE_SIZE; i < sizeof(mValue); ++i) {
      if (mValue[i] != 'Z') return false;
    }
    return true;
  }

  TempDir mDir;
  std::string mPath;
  PropertyFile mFile;
  char mValue[PROPERTY_VALUE_SIZE + 64];
};

TEST_F(PropertyAccessTest, ValueLimitIs91Characters) {
  LogCapture log;
  const std::string longest(91, 'v');
  EXPECT_EQ(Set("k", longest.c_str()), 0);
  EXPECT_EQ(Get("k", nullptr), 91);
  EXPECT_EQ(std::string(mValue), longest);
  EXPECT_EQ(Set("k", std::string(92, 'w').c_str()), -1);
  EXPECT_TRUE(log.Contains(Store(ZU_LOG_ERROR, "property value lenth cannot more than 92")));
  EXPECT_EQ(Get("k", nullptr), 91);
  EXPECT_EQ(std::string(mValue), longest);
  EXPECT_TRUE(TailUntouched());
}

TEST_F(PropertyAccessTest, StoredValueFromTheFileLongerThan91IsCut) {
  WriteText(mPath, "long=" + std::string(200, 'x') + "\n");
  EXPECT_EQ(Get("long", "d"), 91);
  EXPECT_EQ(std::string(mValue), std::string(91, 'x'));
  EXPECT_TRUE(TailUntouched());
}

TEST_F(PropertyAccessTest, DefaultsAndEmptyValues) {
  LogCapture log;
  EXPECT_EQ(Set("empty", ""), 0);
  EXPECT_EQ(Get("empty", "d"), 1);
  EXPECT_STREQ(mValue, "d");
  EXPECT_EQ(Get("absent", nullptr), 0);
  EXPECT_STREQ(mValue, "");
  EXPECT_EQ(Get("absent", std::string(100, 'q').c_str()), 91);
  EXPECT_EQ(std::string(mValue), std::string(91, 'q'));
  EXPECT_TRUE(TailUntouched());

  strcpy(mValue, "keep");
  EXPECT_EQ(Get("", "d"), 0);
  EXPECT_EQ(Get(nullptr, "d"), 0);
  EXPECT_STREQ(mValue, "keep");
  EXPECT_EQ(log.Count(Store(ZU_LOG_ERROR, "property key cannot be empty")), 2u);
  EXPECT_EQ(mFile.Get(mPath.c_str(), "k", nullptr, "d"), 0);

  EXPECT_EQ(Set("", "v"), -1);
  EXPECT_EQ(Set(nullptr, "v"), -1);
  EXPECT_EQ(Set("k", nullptr), -1);
  EXPECT_EQ(log.Count(Store(ZU_LOG_ERROR, "property key or value cannot be empty")), 3u);
  EXPECT_EQ(log.Count(Store(ZU_LOG_INFO, "CONFIG_FILE: " + mPath)), 4u);
}

TEST_F(PropertyAccessTest, FailedDefaultCopyLogsTheDefaultNotTheBuffer) {
  LogCapture log;
  // The default lies inside the buffer: the bounds-checked copy refuses it.
  strcpy(mValue, "Xdefault");
  EXPECT_EQ(Get("absent", mValue + 1), 0);
  EXPECT_TRUE(log.Contains(Store(ZU_LOG_ERROR, "property_get failed: value: default")));
}

TEST_F(PropertyAccessTest, NewlinesInKeysOrValuesAreRefused) {
  LogCapture log;
  const std::string before = ReadText(mPath);
  EXPECT_EQ(Set("k", "v\nother=x"), -1);
  EXPECT_EQ(Set("k\nother", "x"), -1);
  EXPECT_EQ(log.Count(Store(ZU_LOG_ERROR, "property key or value cannot contain a newline")), 2u);
  EXPECT_EQ(ReadText(mPath), before);
  EXPECT_EQ(Get("other", nullptr), 0);
  EXPECT_EQ(Get("k", nullptr), 0);
}

// The watcher calls a path's observers in registration order, so once an
// observer registered after the property file has been told, the property
// file has been told too.
TEST_F(PropertyAccessTest, SetRereadsAChangedFileBeforeWriting) {
  ASSERT_EQ(Set("mine", "1"), 0);
  CountingObserver after;
  ASSERT_EQ(InotifyWatchProperty::GetInstance()->SetCallback(mPath, &after), 0);
  WriteText(mPath, "mine=1\ntheirs=2\n");
  ASSERT_TRUE(after.WaitForCount(1));
  ASSERT_EQ(Set("more", "3"), 0);
  EXPECT_EQ(ReadText(mPath), "mine=1\nmore=3\ntheirs=2\n");
  EXPECT_EQ(Get("theirs", nullptr), 1);
  InotifyWatchProperty::GetInstance()->RemoveCallback(mPath, &after);
}

TEST_F(PropertyAccessTest, GetRereadsOnlyAfterANotification) {
  ASSERT_EQ(Get("k", nullptr), 0);
  CountingObserver after;
  ASSERT_EQ(InotifyWatchProperty::GetInstance()->SetCallback(mPath, &after), 0);
  WriteText(mPath, "k=new\n");
  ASSERT_TRUE(after.WaitForCount(1));
  EXPECT_EQ(Get("k", nullptr), 3);
  EXPECT_STREQ(mValue, "new");
  InotifyWatchProperty::GetInstance()->RemoveCallback(mPath, &after);
}

TEST(PropertyFileTest, DestructorUnregistersThePathItRegistered) {
  LogCapture log;
  TempDir dir;
  const std::string first = dir.File("first.cfg");
  const std::string second = dir.File("second.cfg");
  WriteText(first, "a=1\n");
  WriteText(second, "b=1\n");
  auto file = std::make_unique<PropertyFile>();
  ASSERT_TRUE(file->ReadConfig(first));
  ASSERT_TRUE(file->ReadConfig(second));
  file.reset();
  // No observer is left behind on the first path: its watch is gone, and a
  // change to it reaches nobody.
  CountingObserver probe;
  log.Clear();
  EXPECT_EQ(InotifyWatchProperty::GetInstance()->RemoveCallback(first, &probe), 0);
  EXPECT_TRUE(log.Contains({ZU_LOG_INFO, std::nullopt, "This filePath is not watched: " + first}));
  ASSERT_EQ(InotifyWatchProperty::GetInstance()->SetCallback(first, &probe), 0);
  WriteText(first, "a=2\n");
  EXPECT_TRUE(probe.WaitForCount(1));
  InotifyWatchProperty::GetInstance()->RemoveCallback(first, &probe);
}

}  // namespace

namespace {


// Runs `body` on a thread of its own; a body that has not ended within a
// minute is a deadlock, and the program ends at once rather than hang.
void RunOrReportDeadlock(const std::function<void()>& body) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> ended = done->get_future();
  std::thread([body, done] {
    body();
    done->set_value();
  }).detach();
  if (ended.wait_for(std::chrono::minutes(1)) == std::future_status::ready) return;
  fprintf(stderr, "deadlock: the test body did not end within a minute\n");
  std::_Exit(1);
}

// A service that starts before its configuration is installed reads the
// file once it appears, is told of its changes from then on, and a set
// keeps what the file holds.
TEST(PropertyFileTest, AFileThatAppearsLaterIsReadWatchedAndKept) {
  LogCapture log;
  TempDir dir;
  const std::string path = dir.File("late.cfg");
  PropertyFile file;
  char value[PROPERTY_VALUE_SIZE];
  EXPECT_EQ(file.Get(path.c_str(), "k", value, "d"), 1);
  EXPECT_EQ(file.Set(path.c_str(), "early", "1"), 0);
  EXPECT_FALSE(Exists(path));

  WriteText(path, "k=1\nother=2\n");
  EXPECT_EQ(file.Get(path.c_str(), "k", value, "d"), 1);
  EXPECT_STREQ(value, "1");
  EXPECT_EQ(file.Get(path.c_str(), "early", value, "d"), 1) << "the file, not the memory, holds the pairs";

  CountingObserver probe;
  ASSERT_EQ(InotifyWatchProperty::GetInstance()->SetCallback(path, &probe), 0);
  EXPECT_TRUE(log.Contains({ZU_LOG_INFO, std::nullopt, "This filePath is already watched: " + path}));
  EXPECT_EQ(log.Count({ZU_LOG_ERROR, std::nullopt, "inotify_add_watch"}), 1u);
  WriteText(path, "k=2\nother=2\n");
  ASSERT_TRUE(probe.WaitForCount(1));
  EXPECT_EQ(file.Get(path.c_str(), "k", value, "d"), 1);
  EXPECT_STREQ(value, "2");
  InotifyWatchProperty::GetInstance()->RemoveCallback(path, &probe);

  ASSERT_EQ(file.Set(path.c_str(), "mine", "3"), 0);
  EXPECT_EQ(ReadText(path), "k=2\nmine=3\nother=2\n");
}

// An observer reacts to a change by reading and writing a property file
// while another thread reads that file for the first time (and so
// registers it with the watcher): neither waits for the other for good.
TEST(PropertyFileTest, AnObserverMayGetAndSetWhileAnotherThreadReadsFirst) {
  TempDir dir;
  const std::string path = dir.File("p.cfg");
  WriteText(path, "k=0\n");
  RunOrReportDeadlock([&] {
    for (int round = 1; round <= 20; ++round) {
      const std::string mark = std::to_string(round);
      auto file = std::make_unique<PropertyFile>();
      std::atomic<bool> setOnce{false};
      CountingObserver observer([&] {
        char value[PROPERTY_VALUE_SIZE];
        file->Get(path.c_str(), "k", value, "");
        if (!setOnce.exchange(true)) file->Set(path.c_str(), "observer", mark.c_str());
      });
      ASSERT_EQ(InotifyWatchProperty::GetInstance()->SetCallback(path, &observer), 0);
      std::thread first([&] {
        char value[PROPERTY_VALUE_SIZE];
        file->Get(path.c_str(), "k", value, "");
      });
      WriteText(path, "k=" + mark + "\n");
      first.join();
      ASSERT_TRUE(WaitUntil([&] { return store_test::ParsePairs(ReadText(path))["observer"] == mark; }));
      InotifyWatchProperty::GetInstance()->RemoveCallback(path, &observer);
      file.reset();
    }
  });
}

}  // namespace
