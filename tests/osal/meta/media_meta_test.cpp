#include "osal/meta/media_meta.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/log_capture.h"

namespace osal {
namespace {

using testing_support::LogCapture;
using testing_support::LogLine;

class MediaMetaTest : public ::testing::Test {
 protected:
  std::shared_ptr<MediaMeta> meta_ = MediaMeta::Create();
};

struct Tracked : MediaMeta::MetaBase {
  explicit Tracked(int* deleted) : deleted(deleted) {}
  ~Tracked() override { ++*deleted; }
  int* deleted;
};

TEST_F(MediaMetaTest, EveryKindReadsBackOnlyThroughItsOwnGetter) {
  int pointee = 0;
  ASSERT_TRUE(meta_->SetInt8("i8", -8));
  ASSERT_TRUE(meta_->SetInt16("i16", -16));
  ASSERT_TRUE(meta_->SetInt32("i32", -32));
  ASSERT_TRUE(meta_->SetInt64("i64", INT64_MIN));
  ASSERT_TRUE(meta_->SetUint8("u8", 200));
  ASSERT_TRUE(meta_->SetUint16("u16", 65535));
  ASSERT_TRUE(meta_->SetUint32("u32", UINT32_MAX));
  ASSERT_TRUE(meta_->SetUint64("u64", UINT64_MAX));
  ASSERT_TRUE(meta_->SetFloat("f", 1.5f));
  ASSERT_TRUE(meta_->SetDouble("d", 0.1));
  ASSERT_TRUE(meta_->SetPointer("p", &pointee));

  int8_t i8 = 0;
  int16_t i16 = 0;
  int32_t i32 = 0;
  int64_t i64 = 0;
  uint8_t u8 = 0;
  uint16_t u16 = 0;
  uint32_t u32 = 0;
  uint64_t u64 = 0;
  float f = 0;
  double d = 0;
  void* p = nullptr;
  EXPECT_TRUE(meta_->GetInt8("i8", i8));
  EXPECT_TRUE(meta_->GetInt16("i16", i16));
  EXPECT_TRUE(meta_->GetInt32("i32", i32));
  EXPECT_TRUE(meta_->GetInt64("i64", i64));
  EXPECT_TRUE(meta_->GetUint8("u8", u8));
  EXPECT_TRUE(meta_->GetUint16("u16", u16));
  EXPECT_TRUE(meta_->GetUint32("u32", u32));
  EXPECT_TRUE(meta_->GetUint64("u64", u64));
  EXPECT_TRUE(meta_->GetFloat("f", f));
  EXPECT_TRUE(meta_->GetDouble("d", d));
  EXPECT_TRUE(meta_->GetPointer("p", p));
  EXPECT_EQ(i8, -8);
  EXPECT_EQ(i16, -16);
  EXPECT_EQ(i32, -32);
  EXPECT_EQ(i64, INT64_MIN);
  EXPECT_EQ(u8, 200);
  EXPECT_EQ(u16, 65535);
  EXPECT_EQ(u32, UINT32_MAX);
  EXPECT_EQ(u64, UINT64_MAX);
  EXPECT_EQ(f, 1.5f);
  EXPECT_EQ(d, 0.1);
  EXPECT_EQ(p, &pointee);

  // No conversion between kinds, not even between widths or signedness; a
  // failed read leaves the out-parameter alone.
  int8_t untouched8 = 7;
  int32_t untouched32 = 7;
  int64_t untouched64 = 7;
  double untouchedD = 7;
  EXPECT_FALSE(meta_->GetInt8("u8", untouched8));
  EXPECT_FALSE(meta_->GetInt32("u8", untouched32));
  EXPECT_FALSE(meta_->GetInt32("i8", untouched32));
  EXPECT_FALSE(meta_->GetInt64("i32", untouched64));
  EXPECT_FALSE(meta_->GetDouble("f", untouchedD));
  EXPECT_FALSE(meta_->GetInt32("missing", untouched32));
  EXPECT_EQ(untouched8, 7);
  EXPECT_EQ(untouched32, 7);
  EXPECT_EQ(untouched64, 7);
  EXPECT_EQ(untouchedD, 7);
}

TEST_F(MediaMetaTest, ASetterOverwritesItsOwnKindAndRefusesAnother) {
  EXPECT_TRUE(meta_->SetInt32("a", 1));
  EXPECT_TRUE(meta_->SetInt32("a", 2));
  EXPECT_FALSE(meta_->SetInt64("a", 1));
  EXPECT_FALSE(meta_->SetString("a", "text"));
  EXPECT_FALSE(meta_->SetFraction("a", 1, 2));
  EXPECT_FALSE(meta_->SetObject("a", nullptr));
  unsigned char byte = 1;
  EXPECT_FALSE(meta_->SetByteBuffer("a", &byte, 1));

  int32_t value = 0;
  EXPECT_TRUE(meta_->GetInt32("a", value));
  EXPECT_EQ(value, 2);
  int64_t wide = 5;
  EXPECT_FALSE(meta_->GetInt64("a", wide));
  EXPECT_EQ(wide, 5);
}

TEST_F(MediaMetaTest, NullNamesAreRefusedEverywhere) {
  unsigned char byte = 1;
  EXPECT_FALSE(meta_->SetInt8(nullptr, 1));
  EXPECT_FALSE(meta_->SetInt32(nullptr, 1));
  EXPECT_FALSE(meta_->SetDouble(nullptr, 1));
  EXPECT_FALSE(meta_->SetPointer(nullptr, nullptr));
  EXPECT_FALSE(meta_->SetString(nullptr, "x"));
  EXPECT_FALSE(meta_->SetFraction(nullptr, 1, 2));
  EXPECT_FALSE(meta_->SetRect(nullptr, 1, 2, 3, 4));
  EXPECT_FALSE(meta_->SetObject(nullptr, nullptr));
  {
    LogCapture log;
    EXPECT_FALSE(meta_->SetByteBuffer(nullptr, &byte, 1));
  }
  int32_t value = 3;
  const char* text = "keep";
  EXPECT_FALSE(meta_->GetInt32(nullptr, value));
  EXPECT_FALSE(meta_->GetString(nullptr, text));
  EXPECT_FALSE(meta_->ContainsKey(nullptr));
  EXPECT_EQ(value, 3);
  EXPECT_STREQ(text, "keep");
  EXPECT_FALSE(meta_->ContainsKey(""));
}

TEST_F(MediaMetaTest, KeysAreBytesUpToTheFirstNulAndTheEmptyKeyIsOrdinary) {
  EXPECT_FALSE(meta_->ContainsKey(""));
  EXPECT_TRUE(meta_->SetInt8("", 9));
  EXPECT_TRUE(meta_->ContainsKey(""));
  EXPECT_FALSE(meta_->ContainsKey(" "));
  int8_t value = 0;
  EXPECT_TRUE(meta_->GetInt8("", value));
  EXPECT_EQ(value, 9);

  const char embedded[] = {'k', '\0', 'x', '\0'};
  EXPECT_TRUE(meta_->SetInt32(embedded, 1));
  EXPECT_TRUE(meta_->ContainsKey("k"));
  EXPECT_FALSE(meta_->ContainsKey("kx"));
  EXPECT_TRUE(meta_->ContainsKey(std::string("k").c_str()));
}

TEST_F(MediaMetaTest, StringsAreOwnedCopiesReplacedOnlyWhenTheTextDiffers) {
  char source[] = "first";
  EXPECT_FALSE(meta_->SetString("s", nullptr));
  EXPECT_FALSE(meta_->ContainsKey("s"));

  ASSERT_TRUE(meta_->SetString("s", source));
  const char* stored = nullptr;
  ASSERT_TRUE(meta_->GetString("s", stored));
  EXPECT_NE(stored, source);
  source[0] = 'F';
  EXPECT_STREQ(stored, "first");

  ASSERT_TRUE(meta_->SetString("s", "first"));
  const char* same = nullptr;
  ASSERT_TRUE(meta_->GetString("s", same));
  EXPECT_EQ(same, stored);

  // The key's own text handed back is equal, so nothing is released.
  ASSERT_TRUE(meta_->SetString("s", stored));
  ASSERT_TRUE(meta_->GetString("s", same));
  EXPECT_STREQ(same, "first");

  ASSERT_TRUE(meta_->SetString("s", "second"));
  ASSERT_TRUE(meta_->GetString("s", same));
  EXPECT_STREQ(same, "second");

  ASSERT_TRUE(meta_->SetString("e", ""));
  ASSERT_TRUE(meta_->GetString("e", same));
  EXPECT_STREQ(same, "");
}

TEST_F(MediaMetaTest, ByteBuffersAreCopiedAndRefusalsAreLogged) {
  unsigned char bytes[4] = {1, 2, 3, 4};
  ASSERT_TRUE(meta_->SetByteBuffer("b", bytes, sizeof(bytes)));
  MediaMeta::ByteBuffer stored{};
  ASSERT_TRUE(meta_->GetByteBuffer("b", stored));
  EXPECT_EQ(stored.size, 4u);
  EXPECT_NE(stored.data, bytes);
  EXPECT_EQ(memcmp(stored.data, bytes, 4), 0);
  bytes[0] = 99;
  EXPECT_EQ(stored.data[0], 1);

  LogCapture log;
  unsigned char* noData = nullptr;
  EXPECT_FALSE(meta_->SetByteBuffer("zero", bytes, 0));
  EXPECT_FALSE(meta_->SetByteBuffer("null", noData, 4));
  EXPECT_FALSE(meta_->ContainsKey("zero"));
  EXPECT_FALSE(meta_->ContainsKey("null"));
  const auto lines = log.Lines("MediaMeta");
  ASSERT_EQ(lines.size(), 2u);
  char tail[64];
  snprintf(tail, sizeof(tail), ", data %p, size %zu", static_cast<void*>(bytes), static_cast<size_t>(0));
  EXPECT_EQ(lines[0].level, ZU_LOG_ERROR);
  EXPECT_NE(lines[0].message.find(tail), std::string::npos) << lines[0].message;
  snprintf(tail, sizeof(tail), ", data %p, size %zu", static_cast<void*>(nullptr), static_cast<size_t>(4));
  EXPECT_EQ(lines[1].level, ZU_LOG_ERROR);
  EXPECT_NE(lines[1].message.find(tail), std::string::npos) << lines[1].message;
}

TEST_F(MediaMetaTest, ByteBufferRefusalLineCarriesNameDataAndSize) {
  unsigned char byte = 0;
  LogCapture log;
  EXPECT_FALSE(meta_->SetByteBuffer(nullptr, &byte, 3));
  char expected[128];
  snprintf(expected, sizeof(expected), "name %p, data %p, size %zu", static_cast<void*>(nullptr),
           static_cast<void*>(&byte), static_cast<size_t>(3));
  EXPECT_TRUE(log.Contains({ZU_LOG_ERROR, "MediaMeta", expected}));
}

TEST_F(MediaMetaTest, AKeysOwnBufferCanBeSetAgain) {
  unsigned char bytes[64];
  for (int i = 0; i < 64; ++i) bytes[i] = static_cast<unsigned char>(i);
  ASSERT_TRUE(meta_->SetByteBuffer("b", bytes, sizeof(bytes)));
  unsigned char* own = nullptr;
  int size = 0;
  ASSERT_TRUE(meta_->GetByteBuffer("b", own, size));
  ASSERT_TRUE(meta_->SetByteBuffer("b", own, static_cast<unsigned long>(size)));
  MediaMeta::ByteBuffer again{};
  ASSERT_TRUE(meta_->GetByteBuffer("b", again));
  EXPECT_EQ(again.size, 64u);
  EXPECT_EQ(memcmp(again.data, bytes, 64), 0);
}

TEST_F(MediaMetaTest, FractionsRectsAndObjects) {
  EXPECT_FALSE(meta_->SetFraction("f", 1, 0));
  EXPECT_FALSE(meta_->ContainsKey("f"));
  EXPECT_TRUE(meta_->SetFraction("f", 0, 1));
  EXPECT_TRUE(meta_->SetFraction("f", -3, 4));
  EXPECT_FALSE(meta_->SetFraction("f", 5, 0));
  int numerator = 0, denominator = 0;
  ASSERT_TRUE(meta_->GetFraction("f", numerator, denominator));
  EXPECT_EQ(numerator, -3);
  EXPECT_EQ(denominator, 4);

  ASSERT_TRUE(meta_->SetRect("r", MediaMeta::Rect{1, 2, 3, 4}));
  MediaMeta::Rect rect{};
  ASSERT_TRUE(meta_->GetRect("r", rect));
  EXPECT_EQ(rect.left, 1);
  EXPECT_EQ(rect.top, 2);
  EXPECT_EQ(rect.right, 3);
  EXPECT_EQ(rect.bottom, 4);

  int deleted = 0;
  auto first = std::make_shared<Tracked>(&deleted);
  ASSERT_TRUE(meta_->SetObject("o", first));
  EXPECT_EQ(first.use_count(), 2);
  ASSERT_TRUE(meta_->SetObject("o", std::make_shared<Tracked>(&deleted)));
  EXPECT_EQ(first.use_count(), 1);  // the old reference was dropped
  EXPECT_EQ(deleted, 0);
  std::shared_ptr<MediaMeta::MetaBase> out = first;
  ASSERT_TRUE(meta_->GetObject("o", out));
  EXPECT_NE(out, first);
  out.reset();
  meta_.reset();
  EXPECT_EQ(deleted, 1);  // the container released the second object

  auto empty = MediaMeta::Create();
  ASSERT_TRUE(empty->SetObject("none", nullptr));
  std::shared_ptr<MediaMeta::MetaBase> result = first;
  ASSERT_TRUE(empty->GetObject("none", result));
  EXPECT_EQ(result, nullptr);
}

TEST_F(MediaMetaTest, DestroyDropsOnlyTheContainersReferences) {
  ASSERT_TRUE(meta_->SetString("s", "text"));
  ASSERT_TRUE(meta_->SetPointer("p", reinterpret_cast<void*>(0x10)));  // never dereferenced
  meta_->Destroy();
  EXPECT_FALSE(meta_->ContainsKey("s"));
  EXPECT_FALSE(meta_->ContainsKey("p"));
  meta_->Destroy();
  EXPECT_TRUE(meta_->SetInt32("s", 1));  // usable again, with a new kind
  int32_t value = 0;
  EXPECT_TRUE(meta_->GetInt32("s", value));
}

TEST(MetaItemTest, DestroyReleasesWhatTheKindOwns) {
  MediaMeta::MetaItem::Destroy(nullptr);

  auto text = MediaMeta::MetaItem::Create();
  EXPECT_EQ(text->mType, MetaType::None);
  EXPECT_EQ(text->mObject, nullptr);
  text->mType = MetaType::String;
  text->mValue.string = strdup("owned");
  text.reset();  // released through the deleter; ASan reports a leak otherwise

  auto buffer = MediaMeta::MetaItem::Create();
  buffer->mType = MetaType::ByteBuffer;
  EXPECT_EQ(buffer->mValue.buffer.data, nullptr);  // an unset item owns nothing
  buffer.reset();

  auto bytes = MediaMeta::MetaItem::Create();
  bytes->mType = MetaType::ByteBuffer;
  bytes->mValue.buffer = {3, new unsigned char[3]};
  bytes.reset();
}

}  // namespace
}  // namespace osal
