#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "osal/meta/media_meta.h"
#include "osal/param/media_param.h"
#include "tests/support/log_capture.h"

namespace {

using osal::MediaMeta;
using osal::MediaParam;
using osal::MetaType;
using testing_support::LogCapture;
using testing_support::LogLine;

LogLine MetaError(const std::string& message) { return {ZU_LOG_ERROR, "MediaMeta", message}; }

int32_t Kind(MetaType type) { return static_cast<int32_t>(type); }

// Every int32 left on the byte sequence.
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

TEST(MetaOnParcel, EmptyContainerWritesOnlyItsCount) {
  auto meta = MediaMeta::Create();
  MediaParam parcel;
  EXPECT_TRUE(meta->WriteToMediaParam(&parcel));
  const MediaParam copy(parcel);
  EXPECT_EQ(RestAsInt32(parcel), std::vector<int32_t>{0});
  EXPECT_EQ(parcel.ReadString(), nullptr);

  auto target = MediaMeta::Create();
  target->SetInt32("kept", 1);
  EXPECT_TRUE(target->ReadFromMediaParam(&copy));
  int32_t kept = 0;
  EXPECT_TRUE(target->GetInt32("kept", kept));
  EXPECT_EQ(kept, 1);
}

TEST(MetaOnParcel, LayoutIsCountThenKindKeyAndValueInKeyOrder) {
  auto meta = MediaMeta::Create();
  meta->SetString("b", "text");
  meta->SetInt32("a", 5);
  MediaParam parcel;
  ASSERT_TRUE(meta->WriteToMediaParam(&parcel));
  EXPECT_EQ(RestAsInt32(parcel), (std::vector<int32_t>{2, 3, 5, 12}));
  EXPECT_EQ(RestOfStrings(parcel), (std::vector<std::string>{"a", "b", "text"}));
}

TEST(MetaOnParcel, EachTravellingKindHasItsWidthsOnTheByteSequence) {
  int anchor = 0;
  auto meta = MediaMeta::Create();
  meta->SetInt64("a", -3);
  meta->SetFloat("b", 0.1f);
  meta->SetDouble("c", 2.5);
  meta->SetPointer("d", &anchor);
  meta->SetFraction("e", 30000, 1001);
  meta->SetRect("f", 1, 2, 3, 4);
  MediaParam parcel;
  ASSERT_TRUE(meta->WriteToMediaParam(&parcel));

  EXPECT_EQ(parcel.ReadInt32(), 6);
  EXPECT_EQ(parcel.ReadInt32(), Kind(MetaType::Int64));
  EXPECT_EQ(parcel.ReadInt64(), -3);
  EXPECT_EQ(parcel.ReadInt32(), Kind(MetaType::Float));
  EXPECT_EQ(parcel.ReadDouble(), static_cast<double>(0.1f));  // a float takes 8 bytes
  EXPECT_EQ(parcel.ReadInt32(), Kind(MetaType::Double));
  EXPECT_EQ(parcel.ReadDouble(), 2.5);
  EXPECT_EQ(parcel.ReadInt32(), Kind(MetaType::Pointer));
  EXPECT_EQ(parcel.ReadInt64(), reinterpret_cast<intptr_t>(&anchor));
  EXPECT_EQ(parcel.ReadInt32(), Kind(MetaType::Fraction));
  EXPECT_EQ(RestAsInt32(parcel), (std::vector<int32_t>{30000, 1001, Kind(MetaType::Rect), 1, 2, 3, 4}));
  EXPECT_EQ(RestOfStrings(parcel), (std::vector<std::string>{"a", "b", "c", "d", "e", "f"}));
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
  ASSERT_TRUE(copy->ReadFromMediaParam(&parcel));

  int32_t i32 = 0;
  int64_t i64 = 0;
  float f = 0;
  double d = 0;
  void* p = nullptr;
  const char* text = nullptr;
  const char* empty = nullptr;
  int num = 0, den = 0, r0 = 0, r1 = 0, r2 = 0, r3 = 0;
  EXPECT_TRUE(copy->GetInt32("i32", i32));
  EXPECT_TRUE(copy->GetInt64("i64", i64));
  EXPECT_TRUE(copy->GetFloat("float", f));
  EXPECT_TRUE(copy->GetDouble("double", d));
  EXPECT_TRUE(copy->GetPointer("pointer", p));
  EXPECT_TRUE(copy->GetString("string", text));
  EXPECT_TRUE(copy->GetString("", empty));
  EXPECT_TRUE(copy->GetFraction("fraction", num, den));
  EXPECT_TRUE(copy->GetRect("rect", r0, r1, r2, r3));
  EXPECT_EQ(i32, INT32_MIN);
  EXPECT_EQ(i64, INT64_MAX);
  EXPECT_EQ(f, 0.1f);
  EXPECT_EQ(d, -1e-300);
  EXPECT_EQ(p, &anchor);
  EXPECT_STREQ(text, "video/avc");
  EXPECT_STREQ(empty, "");
  EXPECT_EQ(std::vector<int>({num, den, r0, r1, r2, r3}), std::vector<int>({-3, 4, -1, 2, -3, 4}));

  // Texts are the new container's own copies.
  const char* original = nullptr;
  meta->GetString("string", original);
  EXPECT_NE(text, original);
  meta.reset();
  EXPECT_STREQ(text, "video/avc");
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
  meta->SetInt8("f", 1);
  meta->SetInt16("g", 1);
  meta->SetUint16("h", 1);
  meta->SetUint32("i", 1);
  meta->SetUint64("j", 1);
  meta->SetInt32("k", 2);

  MediaParam parcel;
  {
    LogCapture log;
    EXPECT_FALSE(meta->WriteToMediaParam(&parcel));
    EXPECT_EQ(log.Lines("MediaMeta"),
              (std::vector<LogLine>{MetaError("MediaParam doesn't support WriteByteBuffer method"),
                                    MetaError("MediaParam doesn't support WriteObject method"),
                                    MetaError("WriteToMediaParam: Should not be here mType: 5"),
                                    MetaError("WriteToMediaParam: Should not be here mType: 1"),
                                    MetaError("WriteToMediaParam: Should not be here mType: 2"),
                                    MetaError("WriteToMediaParam: Should not be here mType: 6"),
                                    MetaError("WriteToMediaParam: Should not be here mType: 7"),
                                    MetaError("WriteToMediaParam: Should not be here mType: 8")}));
  }
  const MediaParam reread(parcel);
  EXPECT_EQ(RestAsInt32(parcel), (std::vector<int32_t>{11, 3, 1, 13, 12, 16, 5, 1, 2, 6, 7, 8, 3, 2}));
  EXPECT_EQ(RestOfStrings(parcel),
            (std::vector<std::string>{"a", "b", "c", "text", "d", "e", "f", "g", "h", "i", "j", "k"}));

  auto copy = MediaMeta::Create();
  copy->SetInt8("f", 7);  // a refused entry leaves an existing one alone
  {
    LogCapture log;
    EXPECT_FALSE(copy->ReadFromMediaParam(&reread));
    EXPECT_EQ(log.Lines("MediaMeta"),
              (std::vector<LogLine>{MetaError("MediaParam doesn't support ReadByteBuffer method"),
                                    MetaError("MediaParam doesn't support ReadObject method"),
                                    MetaError("ReadFromMediaParam: Should not be here mType: 5"),
                                    MetaError("ReadFromMediaParam: Should not be here mType: 1"),
                                    MetaError("ReadFromMediaParam: Should not be here mType: 2"),
                                    MetaError("ReadFromMediaParam: Should not be here mType: 6"),
                                    MetaError("ReadFromMediaParam: Should not be here mType: 7"),
                                    MetaError("ReadFromMediaParam: Should not be here mType: 8")}));
  }
  int32_t a = 0, k = 0;
  int8_t f = 0;
  const char* c = nullptr;
  EXPECT_TRUE(copy->GetInt32("a", a));
  EXPECT_TRUE(copy->GetString("c", c));
  EXPECT_TRUE(copy->GetInt32("k", k));
  EXPECT_TRUE(copy->GetInt8("f", f));
  EXPECT_EQ(a, 1);
  EXPECT_STREQ(c, "text");
  EXPECT_EQ(k, 2);
  EXPECT_EQ(f, 7);
  // Entries whose value did not travel are not entered.
  for (const char* key : {"b", "d", "e", "g", "h", "i", "j"}) EXPECT_FALSE(copy->ContainsKey(key)) << key;
  EXPECT_EQ(RestAsInt32(reread), std::vector<int32_t>{});  // the whole block was consumed
}

TEST(MetaOnParcel, ReadingReplacesEntriesOfTheSameKeyWhateverTheirKind) {
  auto meta = MediaMeta::Create();
  meta->SetString("a", "new");
  meta->SetInt32("b", 2);
  MediaParam parcel;
  meta->WriteToMediaParam(&parcel);

  auto target = MediaMeta::Create();
  target->SetInt32("a", 1);
  target->SetInt32("b", 1);
  target->SetInt32("c", 3);
  ASSERT_TRUE(target->ReadFromMediaParam(&parcel));
  const char* a = nullptr;
  int32_t b = 0, c = 0, old = 0;
  EXPECT_TRUE(target->GetString("a", a));
  EXPECT_FALSE(target->GetInt32("a", old));
  EXPECT_TRUE(target->GetInt32("b", b));
  EXPECT_TRUE(target->GetInt32("c", c));
  EXPECT_STREQ(a, "new");
  EXPECT_EQ(b, 2);
  EXPECT_EQ(c, 3);
}

TEST(MetaOnParcel, TwoContainersInSequenceComeBackInOrder) {
  auto first = MediaMeta::Create();
  first->SetInt32("n", 1);
  first->SetString("s", "first");
  auto second = MediaMeta::Create();
  second->SetInt32("n", 2);
  second->SetString("s", "second");
  MediaParam parcel;
  ASSERT_TRUE(first->WriteToMediaParam(&parcel));
  parcel.WriteInt32(77);  // the user's own value between the blocks
  ASSERT_TRUE(second->WriteToMediaParam(&parcel));

  auto one = MediaMeta::Create();
  auto two = MediaMeta::Create();
  ASSERT_TRUE(one->ReadFromMediaParam(&parcel));
  EXPECT_EQ(parcel.ReadInt32(), 77);
  ASSERT_TRUE(two->ReadFromMediaParam(&parcel));
  int32_t n1 = 0, n2 = 0;
  const char* s1 = nullptr;
  const char* s2 = nullptr;
  EXPECT_TRUE(one->GetInt32("n", n1) && one->GetString("s", s1));
  EXPECT_TRUE(two->GetInt32("n", n2) && two->GetString("s", s2));
  EXPECT_EQ(n1, 1);
  EXPECT_EQ(n2, 2);
  EXPECT_STREQ(s1, "first");
  EXPECT_STREQ(s2, "second");
}

TEST(MetaOnParcel, NullParcelIsRefusedSilently) {
  LogCapture log;
  auto meta = MediaMeta::Create();
  meta->SetInt32("a", 1);
  EXPECT_FALSE(meta->WriteToMediaParam(nullptr));
  EXPECT_FALSE(meta->ReadFromMediaParam(nullptr));
  EXPECT_TRUE(log.Lines().empty());
  EXPECT_TRUE(meta->ContainsKey("a"));
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

TEST(MetaOnParcel, MissingKeysAndTextsEndWithFalseWithoutInventingEntries) {
  // A block announcing three entries that carries one key and one text.
  MediaParam parcel;
  parcel.WriteInt32(3);
  parcel.WriteInt32(Kind(MetaType::Int32));
  parcel.WriteString("a");
  parcel.WriteInt32(9);
  parcel.WriteInt32(Kind(MetaType::String));
  parcel.WriteString("b");  // its text is missing
  auto meta = MediaMeta::Create();
  meta->SetString("b", "kept");
  EXPECT_FALSE(meta->ReadFromMediaParam(&parcel));
  int32_t a = 0;
  const char* b = nullptr;
  EXPECT_TRUE(meta->GetInt32("a", a));
  EXPECT_EQ(a, 9);
  EXPECT_TRUE(meta->GetString("b", b));
  EXPECT_STREQ(b, "kept");

  // Reading past the end of a parcel finds no key at all.
  auto other = MediaMeta::Create();
  const MediaParam exhausted;
  EXPECT_TRUE(other->ReadFromMediaParam(&exhausted));  // count 0
  MediaParam counted;
  counted.WriteInt32(5);
  EXPECT_FALSE(other->ReadFromMediaParam(&counted));
}

TEST(MetaOnParcel, ReaderTakesWhatTheSettersWouldRefuseAndSkipsUnknownKinds) {
  MediaParam parcel;
  parcel.WriteInt32(3);
  parcel.WriteInt32(Kind(MetaType::Fraction));
  parcel.WriteString("f");
  parcel.WriteInt32(1);
  parcel.WriteInt32(0);  // a zero denominator
  parcel.WriteInt32(99);
  parcel.WriteString("unknown");
  parcel.WriteInt32(Kind(MetaType::Int32));
  parcel.WriteString("after");
  parcel.WriteInt32(4);
  parcel.WriteInt32(-7);  // beyond the block: a negative count reads nothing more
  parcel.WriteInt32(1234);

  auto meta = MediaMeta::Create();
  LogCapture log;
  EXPECT_FALSE(meta->ReadFromMediaParam(&parcel));
  EXPECT_TRUE(log.Contains(MetaError("ReadFromMediaParam: Should not be here mType: 99")));
  int num = 5, den = 5;
  int32_t after = 0;
  EXPECT_TRUE(meta->GetFraction("f", num, den));
  EXPECT_EQ(num, 1);
  EXPECT_EQ(den, 0);
  EXPECT_FALSE(meta->ContainsKey("unknown"));
  EXPECT_TRUE(meta->GetInt32("after", after));
  EXPECT_EQ(after, 4);

  EXPECT_TRUE(meta->ReadFromMediaParam(&parcel));
  EXPECT_EQ(parcel.ReadInt32(), 1234);
}

}  // namespace
