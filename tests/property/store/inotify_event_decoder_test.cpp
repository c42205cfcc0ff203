#include "property/store/inotify_event_decoder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct Record {
  int32_t wd;
  uint32_t mask;
  std::string name;  // padded to 16 bytes when not empty
};

std::string Batch(const std::vector<Record>& records) {
  std::string bytes;
  for (const Record& record : records) {
    inotify_event event{};
    event.wd = record.wd;
    event.mask = record.mask;
    event.len = record.name.empty() ? 0 : 16;
    bytes.append(reinterpret_cast<const char*>(&event), sizeof(event));
    std::string name = record.name;
    name.resize(event.len, '\0');
    bytes += name;
  }
  return bytes;
}

// The table of this test: directory watch 7 holds the watched name "a.cfg".
bool Concerns(int32_t wd, const char* name) { return wd == 7 && (name == nullptr || strcmp(name, "a.cfg") == 0); }

TEST(InotifyEventDecoderTest, EachRecordKindLeadsToItsDecision) {
  struct Case {
    const char* what;
    std::vector<Record> records;
    size_t cut;  // bytes dropped from the end of the batch
    std::vector<int32_t> reread;
    std::vector<int32_t> gone;
    bool lookAgain, directoriesMoved, overflowed;
  };
  const Case cases[] = {
      {"closes re-read in order", {{3, IN_CLOSE_WRITE, ""}, {1, IN_CLOSE_WRITE, ""}, {3, IN_CLOSE_WRITE, ""}}, 0,
       {3, 1, 3}, {}, false, false, false},
      {"a watched name renamed over", {{7, IN_MOVED_TO, "a.cfg"}}, 0, {}, {}, true, false, false},
      {"a watched name created", {{7, IN_CREATE, "a.cfg"}}, 0, {}, {}, true, false, false},
      {"a writer's temporary", {{7, IN_MOVED_FROM, "a.cfg.tmp"}, {7, IN_DELETE, "b"}}, 0, {}, {}, false, false,
       false},
      {"another directory", {{8, IN_DELETE, "a.cfg"}}, 0, {}, {}, false, false, false},
      {"the directory moved", {{7, IN_MOVE_SELF, ""}}, 0, {}, {}, true, true, false},
      {"another directory removed", {{8, IN_DELETE_SELF, ""}}, 0, {}, {}, false, false, false},
      {"a watch ended", {{3, IN_IGNORED, ""}, {7, IN_DELETE, "a.cfg"}}, 0, {}, {3}, true, false, false},
      {"overflow", {{-1, IN_Q_OVERFLOW, ""}}, 0, {}, {}, true, true, true},
      {"a name cut short ends the batch", {{3, IN_CLOSE_WRITE, ""}, {7, IN_MOVED_TO, "a.cfg"}}, 1, {3}, {}, false,
       false, false},
      {"a header cut short ends the batch", {{3, IN_CLOSE_WRITE, ""}, {4, IN_CLOSE_WRITE, ""}}, 1, {3}, {}, false,
       false, false},
  };
  for (const Case& c : cases) {
    const std::string bytes = Batch(c.records);
    const InotifyDecision got = InotifyEventDecoder::Decode(bytes.data(), bytes.size() - c.cut, Concerns);
    EXPECT_EQ(got.reread, c.reread) << c.what;
    EXPECT_EQ(got.gone, c.gone) << c.what;
    EXPECT_EQ(got.lookAgain, c.lookAgain) << c.what;
    EXPECT_EQ(got.directoriesMoved, c.directoriesMoved) << c.what;
    EXPECT_EQ(got.overflowed, c.overflowed) << c.what;
  }
}

}  // namespace
