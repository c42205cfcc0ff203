// Iteration, Copy, Merge and Dump of MediaMeta.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "osal/meta/media_meta.h"
#include "tests/support/log_capture.h"

namespace osal {
namespace {

using testing::ElementsAre;
using testing::IsEmpty;
using testing_support::LogCapture;
using testing_support::LogLine;
using MetaItem = MediaMeta::MetaItem;

struct Thing : MediaMeta::MetaBase {};

LogLine Line(int level, const std::string& message) { return {level, std::string("MediaMeta"), message}; }

std::string Format(const char* format, const void* address) {
  char text[64];
  snprintf(text, sizeof(text), format, address);
  return text;
}

std::vector<std::string> Keys(const MediaMeta& meta) {
  std::vector<std::string> keys;
  for (auto it = meta.Begin(); it != meta.End(); ++it) keys.push_back((*it).Key());
  return keys;
}

// The item stored under `key`, found through the iterator.
std::shared_ptr<MetaItem> ItemOf(const MediaMeta& meta, const std::string& key) {
  for (auto it = meta.Begin(); it != meta.End(); ++it) {
    if ((*it).Key() == key) return (*it).Value();
  }
  return nullptr;
}

// Turns the text item under `key` into one holding no text, as a failed
// duplicate or a foreign writer may leave it.
void DropText(const MediaMeta& meta, const std::string& key) {
  std::shared_ptr<MetaItem> item = ItemOf(meta, key);
  ASSERT_NE(item, nullptr);
  ASSERT_EQ(item->mType, MetaType::String);
  free(item->mValue.string);
  item->mValue.string = nullptr;
}

// Gives the item under `key` another kind number, as only a foreign writer
// of the public item fields can.
void ForceKind(const MediaMeta& meta, const std::string& key, MetaType type) {
  std::shared_ptr<MetaItem> item = ItemOf(meta, key);
  ASSERT_NE(item, nullptr);
  item->mType = type;
}

// The bytes a plain value of this kind occupies in the item.
size_t ValueSize(MetaType type) {
  switch (type) {
    case MetaType::Int32:
    case MetaType::Float:
      return 4;
    case MetaType::Rect:
      return sizeof(MediaMeta::Rect);
    default:
      return 8;  // Int64, Double, Pointer, Fraction
  }
}

TEST(MediaMetaIteratorTest, VisitsKeysInByteOrder) {
  auto meta = MediaMeta::Create();
  EXPECT_EQ(meta->Begin(), meta->End());
  EXPECT_THAT(Keys(*meta), IsEmpty());

  ASSERT_TRUE(meta->SetInt32("b", 2));
  ASSERT_TRUE(meta->SetInt32("abc", 3));
  ASSERT_TRUE(meta->SetInt32("\xC3\xA9", 4));
  ASSERT_TRUE(meta->SetInt32("ab", 1));
  ASSERT_TRUE(meta->SetInt32("B", 0));
  EXPECT_THAT(Keys(*meta), ElementsAre("B", "ab", "abc", "b", "\xC3\xA9"));

  auto it = meta->Begin();
  EXPECT_EQ((*it).Value()->mType, MetaType::Int32);
  EXPECT_EQ((*it).Value()->mValue.int32, 0);
}

TEST(MediaMetaIteratorTest, PostIncrementReturnsTheNewPosition) {
  auto meta = MediaMeta::Create();
  ASSERT_TRUE(meta->SetInt32("b", 2));
  ASSERT_TRUE(meta->SetInt32("a", 1));

  auto it = meta->Begin();
  auto returned = it++;
  EXPECT_EQ((*it).Key(), "b");
  EXPECT_EQ((*returned).Key(), "b");
  EXPECT_EQ(returned, it);

  auto prefix = meta->Begin();
  EXPECT_EQ(&++prefix, &prefix);
  EXPECT_EQ(prefix, it);
}

TEST(MediaMetaIteratorTest, EndIsSafeToReadAndToStepFrom) {
  auto meta = MediaMeta::Create();
  ASSERT_TRUE(meta->SetInt32("a", 1));
  auto end = meta->End();
  EXPECT_EQ((*end).Key(), "");
  EXPECT_EQ((*end).Value(), nullptr);
  ++end;
  end++;
  EXPECT_EQ(end, meta->End());
}

TEST(MediaMetaIteratorTest, IteratorSurvivesSettersAndBeginFollowsTheFirstKey) {
  auto meta = MediaMeta::Create();
  ASSERT_TRUE(meta->SetInt32("m", 1));
  auto atM = meta->Begin();
  ASSERT_TRUE(meta->SetInt32("a", 2));
  ASSERT_TRUE(meta->SetInt32("z", 3));
  ASSERT_TRUE(meta->SetInt32("m", 4));
  EXPECT_EQ((*atM).Key(), "m");
  EXPECT_EQ((*atM).Value()->mValue.int32, 4);
  EXPECT_EQ((*meta->Begin()).Key(), "a");
  EXPECT_EQ((*++atM).Key(), "z");
}

TEST(MediaMetaIteratorTest, BeginAfterDestroyStartsAfresh) {
  auto meta = MediaMeta::Create();
  ASSERT_TRUE(meta->SetInt32("a", 1));
  ASSERT_TRUE(meta->SetString("b", "text"));
  ASSERT_EQ((*meta->Begin()).Key(), "a");
  auto end = meta->End();

  meta->Destroy();
  EXPECT_EQ(meta->Begin(), meta->End());
  EXPECT_EQ(end, meta->End());

  ASSERT_TRUE(meta->SetInt32("c", 3));
  EXPECT_EQ((*meta->Begin()).Key(), "c");
  EXPECT_THAT(Keys(*meta), ElementsAre("c"));
}

TEST(MediaMetaCopyTest, EmptyContainerCopiesToANewEmptyOne) {
  auto meta = MediaMeta::Create();
  auto copy = meta->Copy();
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy, meta);
  EXPECT_EQ(copy->Begin(), copy->End());
}

TEST(MediaMetaCopyTest, SharesPlainItemsAndDuplicatesTextsAndBytes) {
  auto meta = MediaMeta::Create();
  unsigned char bytes[] = {1, 2, 3, 4};
  auto thing = std::make_shared<Thing>();
  ASSERT_TRUE(meta->SetString("s", "text"));
  ASSERT_TRUE(meta->SetInt32("n", 1));
  ASSERT_TRUE(meta->SetByteBuffer("buf", bytes, sizeof(bytes)));
  ASSERT_TRUE(meta->SetObject("obj", thing));
  ASSERT_TRUE(meta->SetUint16("u16", 6));

  auto copy = meta->Copy();
  ASSERT_NE(copy, nullptr);
  EXPECT_THAT(Keys(*copy), ElementsAre("buf", "n", "obj", "s", "u16"));
  for (const char* key : {"n", "obj", "u16"}) EXPECT_EQ(ItemOf(*copy, key), ItemOf(*meta, key)) << key;
  for (const char* key : {"buf", "s"}) EXPECT_NE(ItemOf(*copy, key), ItemOf(*meta, key)) << key;

  const char* original = nullptr;
  const char* copied = nullptr;
  ASSERT_TRUE(meta->GetString("s", original));
  ASSERT_TRUE(copy->GetString("s", copied));
  EXPECT_NE(copied, original);
  EXPECT_STREQ(copied, "text");
  MediaMeta::ByteBuffer buffer{};
  ASSERT_TRUE(copy->GetByteBuffer("buf", buffer));
  ASSERT_EQ(buffer.size, sizeof(bytes));
  EXPECT_EQ(memcmp(buffer.data, bytes, sizeof(bytes)), 0);
  EXPECT_NE(buffer.data, ItemOf(*meta, "buf")->mValue.buffer.data);

  // A set of a shared key shows on both sides; a text set stays on its side.
  ASSERT_TRUE(copy->SetInt32("n", 9));
  ASSERT_TRUE(copy->SetString("s", "other"));
  int32_t n = 0;
  ASSERT_TRUE(meta->GetInt32("n", n));
  EXPECT_EQ(n, 9);
  ASSERT_TRUE(meta->GetString("s", original));
  EXPECT_STREQ(original, "text");

  meta->Destroy();
  n = 0;
  EXPECT_TRUE(copy->GetInt32("n", n));
  EXPECT_EQ(n, 9);
  ASSERT_TRUE(copy->GetString("s", copied));
  EXPECT_STREQ(copied, "other");
  std::shared_ptr<MediaMeta::MetaBase> object;
  ASSERT_TRUE(copy->GetObject("obj", object));
  EXPECT_EQ(object, thing);
}

TEST(MediaMetaCopyTest, TextItemHoldingNothingGetsAnEmptyItemOfItsOwn) {
  auto meta = MediaMeta::Create();
  ASSERT_TRUE(meta->SetString("s", "text"));
  DropText(*meta, "s");

  auto copy = meta->Copy();
  ASSERT_NE(copy, nullptr);
  std::shared_ptr<MetaItem> item = ItemOf(*copy, "s");
  ASSERT_NE(item, nullptr);
  EXPECT_NE(item, ItemOf(*meta, "s"));
  EXPECT_EQ(item->mType, MetaType::String);
  EXPECT_EQ(item->mValue.string, nullptr);

  ASSERT_TRUE(copy->SetString("s", "new"));
  EXPECT_EQ(ItemOf(*meta, "s")->mValue.string, nullptr);
}

TEST(MediaMetaMergeTest, CarriesEveryMergedKindInKeyOrder) {
  unsigned char bytes[] = {7, 8, 9};
  int pointee = 0;
  auto thing = std::make_shared<Thing>();
  auto other = MediaMeta::Create();
  ASSERT_TRUE(other->SetString("s", "text"));
  ASSERT_TRUE(other->SetInt32("i32", -5));
  ASSERT_TRUE(other->SetInt64("i64", -(int64_t{1} << 40)));
  ASSERT_TRUE(other->SetFloat("f", 1.5f));
  ASSERT_TRUE(other->SetDouble("d", 2.25));
  ASSERT_TRUE(other->SetPointer("p", &pointee));
  ASSERT_TRUE(other->SetByteBuffer("buf", bytes, sizeof(bytes)));
  ASSERT_TRUE(other->SetFraction("fr", 3, 4));
  ASSERT_TRUE(other->SetRect("r", 1, 2, 3, 4));
  ASSERT_TRUE(other->SetObject("obj", thing));

  auto meta = MediaMeta::Create();
  ASSERT_TRUE(meta->Merge(other));
  EXPECT_THAT(Keys(*meta), ElementsAre("buf", "d", "f", "fr", "i32", "i64", "obj", "p", "r", "s"));
  // Every item is the merged container's own, holding an equal value; texts
  // and bytes are copies, the object is shared.
  for (auto it = other->Begin(); it != other->End(); ++it) {
    SCOPED_TRACE((*it).Key());
    const MetaItem& theirs = *(*it).Value();
    const std::shared_ptr<MetaItem> mine = ItemOf(*meta, (*it).Key());
    ASSERT_NE(mine, nullptr);
    EXPECT_NE(mine.get(), &theirs);
    ASSERT_EQ(mine->mType, theirs.mType);
    if (theirs.mType == MetaType::String) {
      EXPECT_NE(mine->mValue.string, theirs.mValue.string);
      EXPECT_STREQ(mine->mValue.string, "text");
    } else if (theirs.mType == MetaType::ByteBuffer) {
      ASSERT_EQ(mine->mValue.buffer.size, sizeof(bytes));
      EXPECT_NE(mine->mValue.buffer.data, theirs.mValue.buffer.data);
      EXPECT_EQ(memcmp(mine->mValue.buffer.data, bytes, sizeof(bytes)), 0);
    } else if (theirs.mType == MetaType::Object) {
      EXPECT_EQ(mine->mObject, thing);
    } else {
      EXPECT_EQ(memcmp(&mine->mValue, &theirs.mValue, ValueSize(theirs.mType)), 0);
    }
  }
}

TEST(MediaMetaMergeTest, SkipsKindsItDoesNotCarry) {
  auto other = MediaMeta::Create();
  ASSERT_TRUE(other->SetInt8("a8", 1));
  ASSERT_TRUE(other->SetInt16("a16", 2));
  ASSERT_TRUE(other->SetUint8("u8", 3));
  ASSERT_TRUE(other->SetUint16("u16", 4));
  ASSERT_TRUE(other->SetUint32("u32", 5));
  ASSERT_TRUE(other->SetUint64("u64", 6));
  ASSERT_TRUE(other->SetInt32("zz", 7));
  ASSERT_TRUE(other->SetInt32("none", 0));
  ForceKind(*other, "none", MetaType::None);

  auto meta = MediaMeta::Create();
  LogCapture log;
  EXPECT_TRUE(meta->Merge(other));
  EXPECT_THAT(Keys(*meta), ElementsAre("zz"));
  // In key order: a16, a8, none, u16, u32, u64, u8.
  EXPECT_THAT(log.Lines("MediaMeta"),
              ElementsAre(Line(6, "Merge: Should not be here mType: 2"), Line(6, "Merge: Should not be here mType: 1"),
                          Line(6, "Merge: Should not be here mType: 0"), Line(6, "Merge: Should not be here mType: 6"),
                          Line(6, "Merge: Should not be here mType: 7"), Line(6, "Merge: Should not be here mType: 8"),
                          Line(6, "Merge: Should not be here mType: 5")));
}

TEST(MediaMetaMergeTest, StopsAtTheFirstRefusedKey) {
  auto other = MediaMeta::Create();
  ASSERT_TRUE(other->SetInt32("z", 3));
  ASSERT_TRUE(other->SetString("x", "text"));
  ASSERT_TRUE(other->SetInt32("a", 1));
  auto meta = MediaMeta::Create();
  ASSERT_TRUE(meta->SetInt32("x", 0));

  LogCapture log;
  EXPECT_FALSE(meta->Merge(other));
  EXPECT_THAT(log.Lines("MediaMeta"), ElementsAre(Line(6, "Merge: Merge x failed")));
  EXPECT_THAT(Keys(*meta), ElementsAre("a", "x"));
  int32_t x = -1;
  ASSERT_TRUE(meta->GetInt32("x", x));
  EXPECT_EQ(x, 0);
  EXPECT_FALSE(meta->ContainsKey("z"));
}

TEST(MediaMetaMergeTest, WritesIntoExistingItemsAndLeavesOtherAlone) {
  auto meta = MediaMeta::Create();
  ASSERT_TRUE(meta->SetInt32("n", 1));
  ASSERT_TRUE(meta->SetString("s", "same"));
  ASSERT_TRUE(meta->SetInt32("mine", 5));
  const std::shared_ptr<MetaItem> item = ItemOf(*meta, "n");
  const char* text = nullptr;
  ASSERT_TRUE(meta->GetString("s", text));

  auto other = MediaMeta::Create();
  ASSERT_TRUE(other->SetInt32("n", 2));
  ASSERT_TRUE(other->SetString("s", "same"));
  ASSERT_TRUE(meta->Merge(other));

  EXPECT_EQ(ItemOf(*meta, "n"), item);
  EXPECT_EQ(item->mValue.int32, 2);
  const char* after = nullptr;
  ASSERT_TRUE(meta->GetString("s", after));
  EXPECT_EQ(after, text);
  EXPECT_TRUE(meta->ContainsKey("mine"));
  EXPECT_THAT(Keys(*other), ElementsAre("n", "s"));
}

TEST(MediaMetaMergeTest, EmptySelfAndNullSources) {
  auto meta = MediaMeta::Create();
  unsigned char bytes[] = {1, 2};
  ASSERT_TRUE(meta->SetByteBuffer("buf", bytes, sizeof(bytes)));
  ASSERT_TRUE(meta->SetString("s", "text"));
  const unsigned char* data = ItemOf(*meta, "buf")->mValue.buffer.data;

  LogCapture log;
  EXPECT_TRUE(meta->Merge(MediaMeta::Create()));
  EXPECT_FALSE(meta->Merge(nullptr));
  EXPECT_TRUE(meta->Merge(meta));
  EXPECT_THAT(log.Lines(), IsEmpty());
  EXPECT_THAT(Keys(*meta), ElementsAre("buf", "s"));
  EXPECT_EQ(ItemOf(*meta, "buf")->mValue.buffer.data, data);
  EXPECT_EQ(memcmp(data, bytes, sizeof(bytes)), 0);
}

TEST(MediaMetaMergeTest, TextItemHoldingNothingIsRefused) {
  auto other = MediaMeta::Create();
  ASSERT_TRUE(other->SetString("s", "text"));
  DropText(*other, "s");
  auto meta = MediaMeta::Create();

  LogCapture log;
  EXPECT_FALSE(meta->Merge(other));
  EXPECT_THAT(log.Lines("MediaMeta"), ElementsAre(Line(6, "Merge: Merge s failed")));
  EXPECT_FALSE(meta->ContainsKey("s"));
}

TEST(MediaMetaDumpTest, EmptyContainerLogsOnlyTheHeader) {
  auto meta = MediaMeta::Create();
  LogCapture log;
  meta->Dump();
  EXPECT_THAT(log.Lines(), ElementsAre(Line(3, "######## MediaMeta dump debug")));
}

TEST(MediaMetaDumpTest, LogsOneLinePerEntryInKeyOrder) {
  unsigned char bytes[] = {1, 2, 3};
  int pointee = 0;
  auto thing = std::make_shared<Thing>();
  auto meta = MediaMeta::Create();
  ASSERT_TRUE(meta->SetRect("r", 1, -2, 3, 4));
  ASSERT_TRUE(meta->SetInt32("i32", -7));
  ASSERT_TRUE(meta->SetInt64("i64", int64_t{1} << 40));
  ASSERT_TRUE(meta->SetFloat("f", 1.5f));
  ASSERT_TRUE(meta->SetDouble("d", -0.25));
  ASSERT_TRUE(meta->SetPointer("p", &pointee));
  ASSERT_TRUE(meta->SetString("s", "hello"));
  ASSERT_TRUE(meta->SetByteBuffer("buf", bytes, sizeof(bytes)));
  ASSERT_TRUE(meta->SetFraction("fr", 30000, 1001));
  ASSERT_TRUE(meta->SetObject("obj", thing));
  ASSERT_TRUE(meta->SetObject("objempty", nullptr));
  ASSERT_TRUE(meta->SetInt32("none", 0));
  ForceKind(*meta, "none", MetaType::None);
  ASSERT_TRUE(meta->SetString("nulltext", "x"));
  DropText(*meta, "nulltext");
  const void* data = ItemOf(*meta, "buf")->mValue.buffer.data;

  LogCapture log;
  meta->Dump();
  EXPECT_THAT(log.Lines(), ElementsAre(Line(3, "######## MediaMeta dump debug"),
                                       Line(3, Format("(buf, bytebuffer(%p, 3))", data)),
                                       Line(3, "(d, double:-0.250000)"), Line(3, "(f, float:1.500000)"),
                                       Line(3, "(fr, fraction:(30000/1001))"), Line(3, "(i32, int32_t:-7)"),
                                       Line(3, "(i64, int64_t:1099511627776)"), Line(3, "empty item"),
                                       Line(3, "(nulltext, string:(null))"),
                                       Line(3, Format("(obj, object:%p)", thing.get())),
                                       Line(3, Format("(objempty, object:%p)", nullptr)),
                                       Line(3, Format("(p, pointer:%p)", &pointee)),
                                       Line(3, "(r, rect:(1, -2, 3, 4))"), Line(3, "(s, string:hello)")));
}

TEST(MediaMetaDumpTest, KindsItDoesNotPrintGetAnErrorLine) {
  auto meta = MediaMeta::Create();
  ASSERT_TRUE(meta->SetInt8("a", 1));
  ASSERT_TRUE(meta->SetInt16("b", 1));
  ASSERT_TRUE(meta->SetUint8("c", 1));
  ASSERT_TRUE(meta->SetUint16("d", 1));
  ASSERT_TRUE(meta->SetUint32("e", 1));
  ASSERT_TRUE(meta->SetUint64("f", 1));
  ASSERT_TRUE(meta->SetInt32("g", 1));
  ForceKind(*meta, "g", static_cast<MetaType>(99));

  LogCapture log;
  meta->Dump();
  EXPECT_THAT(log.Lines(),
              ElementsAre(Line(3, "######## MediaMeta dump debug"), Line(6, "Dump: Unknown item: 1"),
                          Line(6, "Dump: Unknown item: 2"), Line(6, "Dump: Unknown item: 5"),
                          Line(6, "Dump: Unknown item: 6"), Line(6, "Dump: Unknown item: 7"),
                          Line(6, "Dump: Unknown item: 8"), Line(6, "Dump: Unknown item: 99")));
  // Restore the kind so the item is released as what it holds.
  ForceKind(*meta, "g", MetaType::Int32);
}

}  // namespace
}  // namespace osal
