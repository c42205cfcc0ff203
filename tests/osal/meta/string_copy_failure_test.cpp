// SetString when the text cannot be duplicated. This executable provides its
// own strdup, which the library's call reaches (the C library's is only
// found after the executable's), and which can be told to fail.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "osal/meta/media_meta.h"
#include "tests/support/log_capture.h"

namespace {
std::atomic<bool> gFailStrdup{false};
}  // namespace

extern "C" char* strdup(const char* text) {
  if (gFailStrdup.load()) return nullptr;
  const size_t size = strlen(text) + 1;
  char* copy = static_cast<char*>(malloc(size));
  if (copy != nullptr) memcpy(copy, text, size);
  return copy;
}

namespace osal {
namespace {

struct FailingStrdup {
  FailingStrdup() { gFailStrdup = true; }
  ~FailingStrdup() { gFailStrdup = false; }
};

TEST(MediaMetaStringCopyFailure, ReportsFalseAndLeavesTheContainerUnchanged) {
  auto meta = MediaMeta::Create();
  ASSERT_TRUE(meta->SetString("kept", "old"));
  testing_support::LogCapture log;
  {
    FailingStrdup failing;
    EXPECT_FALSE(meta->SetString("new", "text"));
    EXPECT_FALSE(meta->SetString("kept", "other"));
    EXPECT_TRUE(meta->SetString("kept", "old"));  // equal text: nothing to copy
  }
  EXPECT_FALSE(meta->ContainsKey("new"));
  const char* text = nullptr;
  ASSERT_TRUE(meta->GetString("kept", text));
  EXPECT_STREQ(text, "old");
  EXPECT_EQ(log.Count({6, "MediaMeta", "fail to alloc mem for str"}), 2u);
}

}  // namespace
}  // namespace osal
