#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "osal/meta/media_meta.h"
#include "osal/param/media_param.h"
#include "tests/support/log_capture.h"
#include "tests/support/strdup_failure.h"

namespace {

using osal::MediaMeta;
using osal::MediaParam;
using osal::MetaType;
using testing_support::LogCapture;
using testing_support::LogLine;

LogLine MetaError(const std::string& message) { return {ZU_LOG_ERROR, "MediaMeta", message}; }

int32_t Kind(MetaType type) { return static_cast<int32_t>(type); }

std::vector<int32_t> RestAsInt32(const MediaParam& parcel) {
  std::vector<int32_t> values;
  int32_t value;
  while (parcel.ReadInt32(&value) == 0) values.push_back(value);
  return values;
}

std::vector<std::string> RestOfStrings(const MediaParam& parcel) {
  std::vector<std::string> texts;
  while (const char* text = parcel.ReadString()) texts.emplace_back(text);
  return texts;
}

TEST(MetaOnParcel, LayoutIsCountThenKindKeyAndValueInKeyOrder) {
  MediaParam empty;
  EXPECT_TRUE(MediaMeta::Create()->WriteToMediaParam(&empty));
  EXPECT_EQ(RestAsInt32(empty), std::vector<int32_t>{0});
  EXPECT_EQ(empty.ReadString(), nullptr);

  int anchor = 0;
  auto meta = MediaMeta::Create();
  meta->SetString("b", "text");
  meta->SetInt32("a", 5);
  meta->SetInt64("c", -3);
  meta->SetFloat("d", 0.1f);
  meta->SetDouble("e", 2.5);
  meta->SetPointer("f", &anchor);
  meta->SetFraction("g", 30000, 1001);
  meta->SetRect("h", 1, 2, 3, 4);
  MediaParam parcel;
  ASSERT_TRUE(meta->WriteToMediaParam(&parcel));
  EXPECT_EQ(RestOfStrings(parcel), (std::vector<std::string>{"a", "b", "text", "c", "d", "e", "f", "g", "h"}));
  EXPECT_EQ(parcel.ReadInt32(), 8);
  EXPECT_EQ(parcel.ReadInt32(), Kind(MetaType::Int32));
  EXPECT_EQ(parcel.ReadInt32(), 5);
  EXPECT_EQ(parcel.ReadInt32(), Kind(MetaType::String));
  EXPECT_EQ(parcel.ReadInt32(), Kind(MetaType::Int64));
  EXPECT_EQ(parcel.ReadInt64(), -3);
  EXPECT_EQ(parcel.ReadInt32(), Kind(MetaType::Float));
  EXPECT_EQ(parcel.ReadDouble(), static_cast<double>(0.1f));  // a float takes 8 bytes
  EXPECT_EQ(parcel.ReadInt32(), Kind(MetaType::Double));
  EXPECT_EQ(parcel.ReadDouble(), 2.5);
  EXPECT_EQ(parcel.ReadInt32(), Kind(MetaType::Pointer));
  EXPECT_EQ(parcel.ReadInt64(), reinterpret_cast<intptr_t>(&anchor));
  EXPECT_EQ(RestAsInt32(parcel),
            (std::vector<int32_t>{Kind(MetaType::Fraction), 30000, 1001, Kind(MetaType::Rect), 1, 2, 3, 4}));
}

TEST(MetaOnParcel, EveryTravellingKindComesBackExactlyInItsOwnItem) {
  int anchor = 0;
  auto meta = MediaMeta::Create();
  meta->SetInt32("i32", INT32_MIN);
  meta->SetInt64("i64", INT64_MAX);
  meta->SetFloat("float", 0.1f);
  meta->SetDouble("double", -1e-300);
  meta->SetPointer("pointer", &anchor);
  meta->SetString("string", "video/avc");
  meta->SetString("", "");
  meta->SetFraction("fraction", -3, 4);
  meta->SetRect("rect", -1, 2, -3, 4);
  MediaParam parcel;
  ASSERT_TRUE(meta->WriteToMediaParam(&parcel));
  auto copy = MediaMeta::Create();
  copy->SetInt32("string", 1);  // replaced, whatever its kind
  copy->SetInt32("other", 2);   // not named by the block: stays
  ASSERT_TRUE(copy->ReadFromMediaParam(&parcel));

  int32_t i32 = 0, other = 0;
  int64_t i64 = 0;
  float f = 0;
  double d = 0;
  void* p = nullptr;
  const char *text = nullptr, *empty = nullptr, *original = nullptr;
  int num = 0, den = 0, r0 = 0, r1 = 0, r2 = 0, r3 = 0;
  EXPECT_TRUE(copy->GetInt32("i32", i32) && copy->GetInt64("i64", i64) && copy->GetFloat("float", f) &&
              copy->GetDouble("double", d) && copy->GetPointer("pointer", p) &&
              copy->GetString("string", text) && copy->GetString("", empty) &&
              copy->GetFraction("fraction", num, den) && copy->GetRect("rect", r0, r1, r2, r3) &&
              copy->GetInt32("other", other));
  EXPECT_EQ(i32, INT32_MIN);
  EXPECT_EQ(i64, INT64_MAX);
  EXPECT_EQ(f, 0.1f);
  EXPECT_EQ(d, -1e-300);
  EXPECT_EQ(p, &anchor);
  EXPECT_STREQ(text, "video/avc");
  EXPECT_STREQ(empty, "");
  EXPECT_EQ(std::vector<int>({num, den, r0, r1, r2, r3, other}), std::vector<int>({-3, 4, -1, 2, -3, 4, 2}));
  meta->GetString("string", original);
  EXPECT_NE(text, original);  // the new container's own copy
}

TEST(MetaOnParcel, RefusedKindsKeepKindAndKeyAndTheRestStillTravels) {
  struct Object : MediaMeta::MetaBase {};
  unsigned char bytes[] = {1, 2};
  auto meta = MediaMeta::Create();
  meta->SetInt32("a", 1);
  meta->SetByteBuffer("b", bytes, sizeof(bytes));
  meta->SetString("c", "text");
  meta->SetObject("d", std::make_shared<Object>());
  meta->SetUint8("e", 200);
  meta->SetInt32("f", 2);
  MediaParam parcel;
  {
    LogCapture log;
    EXPECT_FALSE(meta->WriteToMediaParam(&parcel));
    EXPECT_EQ(log.Lines("MediaMeta"),
              (std::vector<LogLine>{MetaError("MediaParam doesn't support WriteByteBuffer method"),
                                    MetaError("MediaParam doesn't support WriteObject method"),
                                    MetaError("WriteToMediaParam: Should not be here mType: 5")}));
  }
  const MediaParam reread(parcel);
  EXPECT_EQ(RestAsInt32(parcel), (std::vector<int32_t>{6, 3, 1, 13, 12, 16, 5, 3, 2}));
  EXPECT_EQ(RestOfStrings(parcel), (std::vector<std::string>{"a", "b", "c", "text", "d", "e", "f"}));

  auto copy = MediaMeta::Create();
  copy->SetInt8("e", 7);
  {
    LogCapture log;
    EXPECT_FALSE(copy->ReadFromMediaParam(&reread));
    EXPECT_EQ(log.Lines("MediaMeta"),
              (std::vector<LogLine>{MetaError("MediaParam doesn't support ReadByteBuffer method"),
                                    MetaError("MediaParam doesn't support ReadObject method"),
                                    MetaError("ReadFromMediaParam: Should not be here mType: 5")}));
  }
  int32_t a = 0, f = 0;
  int8_t e = 0;
  const char* c = nullptr;
  EXPECT_TRUE(copy->GetInt32("a", a) && copy->GetString("c", c) && copy->GetInt32("f", f));
  EXPECT_EQ(a, 1);
  EXPECT_STREQ(c, "text");
  EXPECT_EQ(f, 2);
  // An entry whose value did not travel is not entered: no item without a
  // value, and an existing entry of that key stays.
  EXPECT_FALSE(copy->ContainsKey("b"));
  EXPECT_FALSE(copy->ContainsKey("d"));
  EXPECT_TRUE(copy->GetInt8("e", e));
  EXPECT_EQ(e, 7);
  EXPECT_EQ(RestAsInt32(reread), std::vector<int32_t>{});  // the whole block was consumed
}

TEST(MetaOnParcel, TextEntryWithoutTextIsRefusedAndKeepsTheReaderInStep) {
  auto meta = MediaMeta::Create();
  meta->SetString("a", "lost");
  meta->SetString("b", "kept");
  // The only way to such an item: a holder empties the text of a shared item.
  const std::shared_ptr<MediaMeta::MetaItem> item = meta->Begin().Value();
  free(item->mValue.string);
  item->mValue.string = nullptr;

  MediaParam parcel;
  {
    LogCapture log;
    EXPECT_FALSE(meta->WriteToMediaParam(&parcel));
    EXPECT_EQ(log.Lines("MediaMeta"),
              std::vector<LogLine>{MetaError("WriteToMediaParam: Should not be here mType: 12")});
  }
  auto copy = MediaMeta::Create();
  {
    LogCapture log;
    EXPECT_FALSE(copy->ReadFromMediaParam(&parcel));
  }
  const char* text = nullptr;
  EXPECT_FALSE(copy->ContainsKey("a"));
  ASSERT_TRUE(copy->GetString("b", text));
  EXPECT_STREQ(text, "kept");
}

// A text that cannot be copied while the container is rebuilt: its entry is
// left out, the rest still arrives and the reader stays in step.
TEST(MetaOnParcel, TextThatCannotBeCopiedIsLeftOutAndTheRestArrives) {
  auto meta = MediaMeta::Create();
  meta->SetString("a", "first");
  meta->SetInt32("b", 5);
  meta->SetString("c", "second");
  MediaParam parcel;
  ASSERT_TRUE(meta->WriteToMediaParam(&parcel));
  parcel.WriteInt32(77);  // whatever follows the block

  auto copy = MediaMeta::Create();
  LogCapture log;
  bool read = true;
  {
    testing_support::StrdupFailure failing;
    read = copy->ReadFromMediaParam(&parcel);
  }
  EXPECT_FALSE(read);
  EXPECT_EQ(log.Lines("MediaMeta"), (std::vector<LogLine>{MetaError("fail to alloc mem for str"),
                                                          MetaError("fail to alloc mem for str")}));
  EXPECT_FALSE(copy->ContainsKey("a"));
  EXPECT_FALSE(copy->ContainsKey("c"));
  int32_t value = 0;
  ASSERT_TRUE(copy->GetInt32("b", value));
  EXPECT_EQ(value, 5);
  EXPECT_EQ(RestAsInt32(parcel), std::vector<int32_t>{77});
}

TEST(MetaOnParcel, ContainersFollowOneAnotherAndNullParcelsAreRefusedSilently) {
  auto first = MediaMeta::Create();
  first->SetString("s", "first");
  auto second = MediaMeta::Create();
  second->SetString("s", "second");
  MediaParam parcel;
  LogCapture log(ZU_LOG_DEBUG);
  ASSERT_TRUE(first->WriteToMediaParam(&parcel));
  parcel.WriteInt32(77);  // the user's own value between the blocks
  ASSERT_TRUE(second->WriteToMediaParam(&parcel));
  EXPECT_FALSE(first->WriteToMediaParam(nullptr));
  EXPECT_FALSE(first->ReadFromMediaParam(nullptr));
  EXPECT_TRUE(log.Lines().empty());

  auto one = MediaMeta::Create();
  auto two = MediaMeta::Create();
  ASSERT_TRUE(one->ReadFromMediaParam(&parcel));
  EXPECT_EQ(parcel.ReadInt32(), 77);
  ASSERT_TRUE(two->ReadFromMediaParam(&parcel));
  const char *s1 = nullptr, *s2 = nullptr;
  EXPECT_TRUE(one->GetString("s", s1) && two->GetString("s", s2));
  EXPECT_STREQ(s1, "first");
  EXPECT_STREQ(s2, "second");
}

TEST(MetaOnParcel, ParcelRunningFullDoesNotFailTheWriterAndKeysStillTravel) {
  MediaParam parcel;
  for (size_t i = 0; i < MediaParam::kCapacity / 4 - 2; ++i) ASSERT_EQ(parcel.WriteInt32(0), 0);
  auto meta = MediaMeta::Create();
  meta->SetInt64("a", 1);
  meta->SetString("b", "text");
  LogCapture log;
  EXPECT_TRUE(meta->WriteToMediaParam(&parcel));
  EXPECT_EQ(log.Count({ZU_LOG_ERROR, "MediaParam", "WriteFixed failed: ERR_NO_MORE."}), 2u);
  EXPECT_EQ(RestOfStrings(parcel), (std::vector<std::string>{"a", "b", "text"}));
}

TEST(MetaOnParcel, BrokenBlocksEndWithFalseWithoutInventingEntries) {
  // Announces four entries: a fraction with denominator 0 (taken as it is),
  // an unknown kind, a text entry without its text, and one without a key.
  MediaParam parcel;
  parcel.WriteInt32(4);
  parcel.WriteInt32(Kind(MetaType::Fraction));
  parcel.WriteString("f");
  parcel.WriteInt32(1);
  parcel.WriteInt32(0);
  parcel.WriteInt32(99);
  parcel.WriteString("unknown");
  parcel.WriteInt32(Kind(MetaType::String));
  parcel.WriteString("s");
  auto meta = MediaMeta::Create();
  meta->SetString("s", "kept");
  LogCapture log;
  EXPECT_FALSE(meta->ReadFromMediaParam(&parcel));
  EXPECT_TRUE(log.Contains(MetaError("ReadFromMediaParam: Should not be here mType: 99")));
  int num = 5, den = 5;
  const char* s = nullptr;
  EXPECT_TRUE(meta->GetFraction("f", num, den));
  EXPECT_EQ(num, 1);
  EXPECT_EQ(den, 0);
  EXPECT_FALSE(meta->ContainsKey("unknown"));
  EXPECT_TRUE(meta->GetString("s", s));
  EXPECT_STREQ(s, "kept");

  // A negative count reads nothing more.
  parcel.WriteInt32(-7);
  parcel.WriteInt32(1234);
  EXPECT_TRUE(meta->ReadFromMediaParam(&parcel));
  EXPECT_EQ(parcel.ReadInt32(), 1234);
}

}  // namespace
