// Setters when a copy cannot be made: strdup fails (SetString), memcpy_s
// refuses (SetByteBuffer).
#include <gtest/gtest.h>

#include "osal/meta/media_meta.h"
#include "tests/support/log_capture.h"
#include "tests/support/memcpy_s_failure.h"
#include "tests/support/strdup_failure.h"

namespace osal {
namespace {

TEST(MediaMetaStringCopyFailure, ReportsFalseAndLeavesTheContainerUnchanged) {
  auto meta = MediaMeta::Create();
  ASSERT_TRUE(meta->SetString("kept", "old"));
  testing_support::LogCapture log;
  {
    testing_support::StrdupFailure failing;
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

TEST(MediaMetaByteCopyFailure, ReportsFalseAndLeavesTheContainerUnchanged) {
  auto meta = MediaMeta::Create();
  unsigned char old_bytes[] = {1, 2, 3};
  unsigned char new_bytes[] = {9, 9, 9, 9};
  ASSERT_TRUE(meta->SetByteBuffer("kept", old_bytes, sizeof(old_bytes)));
  {
    testing_support::MemcpySFailure failing;
    EXPECT_FALSE(meta->SetByteBuffer("new", new_bytes, sizeof(new_bytes)));
    EXPECT_FALSE(meta->SetByteBuffer("kept", new_bytes, sizeof(new_bytes)));
    EXPECT_EQ(failing.Refused(), 2);  // the program's memcpy_s was the one called
  }
  EXPECT_FALSE(meta->ContainsKey("new"));
  unsigned char* data = nullptr;
  int size = 0;
  ASSERT_TRUE(meta->GetByteBuffer("kept", data, size));
  ASSERT_EQ(size, 3);
  EXPECT_EQ(data[0], 1);
  EXPECT_EQ(data[2], 3);
}

}  // namespace
}  // namespace osal
