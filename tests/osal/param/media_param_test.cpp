#include "osal/param/media_param.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <stdexcept>

#include "tests/osal/param/memcpy_fault.h"
#include "tests/support/log_capture.h"

namespace {

using osal::MediaParam;
using osal::MediaRefBase;
using testing_support::LogCapture;
using testing_support::LogLine;
using testing_support::MemcpyFailure;

constexpr int kVerbose = ZU_LOG_VERBOSE;
constexpr int kError = ZU_LOG_ERROR;
constexpr size_t kInt32Slots = MediaParam::kCapacity / 4;

LogLine Param(int level, const char* message) { return {level, "MediaParam", message}; }

const LogLine kWriteFull = Param(kError, "WriteFixed failed: ERR_NO_MORE.");
const LogLine kReadEmpty = Param(kError, "ReadFixed failed: ERR_NO_MORE.");

// A parcel holding 1, 2, 3 as int32, the texts "one", "two" and one reference.
struct Filled {
  std::shared_ptr<MediaRefBase> object = std::make_shared<MediaRefBase>();
  MediaParam parcel;
  Filled() {
    for (int32_t v : {1, 2, 3}) parcel.WriteInt32(v);
    parcel.WriteString("one");
    parcel.WriteString("two");
    parcel.WritePointer(object);
  }
};

// Reads the rest of `parcel` and expects it to be 1, 2, 3 / "one", "two" /
// `object`, from the given starting value on.
void ExpectFilledFrom(const MediaParam& parcel, int32_t first, const std::shared_ptr<MediaRefBase>& object) {
  for (int32_t v = first; v <= 3; ++v) EXPECT_EQ(parcel.ReadInt32(), v);
  int32_t rest = 99;
  EXPECT_EQ(parcel.ReadInt32(&rest), -1);
  if (first == 1) {
    EXPECT_STREQ(parcel.ReadString(), "one");
    EXPECT_STREQ(parcel.ReadString(), "two");
    EXPECT_EQ(parcel.ReadPointer(), object);
  }
}

TEST(MediaParamRead, NewParcelHasNothingToRead) {
  LogCapture log;
  const MediaParam parcel;
  int32_t value = 42;
  EXPECT_EQ(parcel.ReadInt32(&value), MediaParam::kErrNoMore);
  EXPECT_EQ(value, 42);
  EXPECT_TRUE(log.Contains(kReadEmpty));
  EXPECT_EQ(parcel.ReadInt32(), 0);
  EXPECT_EQ(parcel.ReadInt64(), 0);
  EXPECT_EQ(parcel.ReadFloat(), 0.0f);
  EXPECT_EQ(parcel.ReadDouble(), 0.0);
  EXPECT_EQ(parcel.ReadRawPointer(), nullptr);
  EXPECT_EQ(parcel.ReadString(), nullptr);
  EXPECT_EQ(parcel.ReadPointer(), nullptr);
}

TEST(MediaParamLayout, ValuesArePackedUnalignedInHostOrder) {
  MediaParam parcel;
  uint8_t target = 0;
  ASSERT_EQ(parcel.WriteInt32(0x11223344), 0);
  ASSERT_EQ(parcel.WriteInt64(-2), 0);  // starts at offset 4
  ASSERT_EQ(parcel.WriteFloat(1.5f), 0);
  ASSERT_EQ(parcel.WriteDouble(-0.1), 0);
  ASSERT_EQ(parcel.WriteRawPointer(&target), 0);
  ASSERT_EQ(parcel.WriteInt32(0x55667788), 0);

  // Read back with other widths: the bytes lie back to back, little-endian.
  EXPECT_EQ(parcel.ReadInt64(), static_cast<int64_t>(0xfffffffe11223344ull));
  EXPECT_EQ(parcel.ReadInt32(), -1);  // high half of -2
  const int32_t bits = parcel.ReadInt32();
  float f;
  memcpy(&f, &bits, sizeof(f));
  EXPECT_EQ(f, 1.5f);
  EXPECT_EQ(parcel.ReadDouble(), -0.1);
  EXPECT_EQ(parcel.ReadRawPointer(), &target);
  EXPECT_EQ(parcel.ReadInt32(), 0x55667788);
  int32_t rest = 0;
  EXPECT_EQ(parcel.ReadInt32(&rest), -1);
}

TEST(MediaParamLayout, PointerFormsReturnEachKindExactly) {
  MediaParam parcel;
  uint8_t target = 0;
  parcel.WriteInt32(INT32_MIN);
  parcel.WriteInt64(INT64_MAX);
  parcel.WriteFloat(0.1f);
  parcel.WriteDouble(1e300);
  parcel.WriteRawPointer(&target);
  int32_t i32 = 0;
  int64_t i64 = 0;
  float f = 0;
  double d = 0;
  uint8_t* p = nullptr;
  EXPECT_EQ(parcel.ReadInt32(&i32), 0);
  EXPECT_EQ(parcel.ReadInt64(&i64), 0);
  EXPECT_EQ(parcel.ReadFloat(&f), 0);
  EXPECT_EQ(parcel.ReadDouble(&d), 0);
  EXPECT_EQ(parcel.ReadRawPointer(&p), 0);
  EXPECT_EQ(i32, INT32_MIN);
  EXPECT_EQ(i64, INT64_MAX);
  EXPECT_EQ(f, 0.1f);
  EXPECT_EQ(d, 1e300);
  EXPECT_EQ(p, &target);
}

TEST(MediaParamLog, EachWriteAndReadTracesItsValueAndWidth) {
  LogCapture log;
  MediaParam parcel;
  uint8_t* address = reinterpret_cast<uint8_t*>(0x1234);
  parcel.WriteInt32(7);
  parcel.WriteFloat(1.5f);
  parcel.WriteDouble(2.25);
  parcel.WriteRawPointer(address);
  parcel.WriteInt64(8);
  parcel.WriteString("text");
  parcel.WritePointer(nullptr);
  int32_t value;
  parcel.ReadInt32(&value);
  parcel.ReadFloat();
  const std::vector<LogLine> expected = {
      Param(kVerbose, "WriteFixed valSize: 4"),
      Param(kVerbose, "WriteFloat val: 1.500000"),
      Param(kVerbose, "WriteFixed valSize: 4"),
      Param(kVerbose, "WriteDouble val: 2.250000"),
      Param(kVerbose, "WriteFixed valSize: 8"),
      Param(kVerbose, "WriteRawPointer val: 0x1234"),
      Param(kVerbose, "WriteFixed valSize: 8"),
      Param(kVerbose, "WriteFixed valSize: 8"),
      Param(kVerbose, "WriteString val: text"),
      Param(kVerbose, "ReadFixed valSize: 4"),
      Param(kVerbose, "ReadFixed valSize: 4"),
  };
  EXPECT_EQ(log.Lines(), expected);
  log.Clear();
  parcel.ReadString();
  parcel.ReadPointer();
  parcel.ReadString();  // none left: reported by the result only
  EXPECT_TRUE(log.Lines().empty());
}

TEST(MediaParamCapacity, FillsToExactlyTheCapacityAndNoFurther) {
  MediaParam parcel;
  for (size_t i = 0; i < kInt32Slots - 1; ++i) ASSERT_EQ(parcel.WriteInt32(static_cast<int32_t>(i)), 0);
  LogCapture log;
  // Exactly 4 bytes free: no room for 8, room for 4.
  EXPECT_EQ(parcel.WriteInt64(1), MediaParam::kErrNoMore);
  EXPECT_EQ(parcel.WriteDouble(1), MediaParam::kErrNoMore);
  EXPECT_EQ(log.Count(kWriteFull), 2u);
  EXPECT_EQ(parcel.WriteInt32(-5), 0);
  EXPECT_EQ(parcel.WriteInt32(6), MediaParam::kErrNoMore);
  EXPECT_EQ(parcel.WriteFloat(6), MediaParam::kErrNoMore);
  EXPECT_EQ(log.Count(kWriteFull), 4u);
  // Strings have no limit.
  EXPECT_EQ(parcel.WriteString("still"), 0);

  // Nothing of the refused writes was stored.
  for (size_t i = 0; i < kInt32Slots - 1; ++i) ASSERT_EQ(parcel.ReadInt32(), static_cast<int32_t>(i));
  EXPECT_EQ(parcel.ReadInt32(), -5);
  int32_t rest = 0;
  EXPECT_EQ(parcel.ReadInt32(&rest), MediaParam::kErrNoMore);
  EXPECT_STREQ(parcel.ReadString(), "still");
}

TEST(MediaParamRead, SequencesAreIndependentAndReadsRunOutCleanly) {
  LogCapture log;
  MediaParam parcel;
  parcel.WriteInt32(7);
  parcel.WriteString("text");
  parcel.WriteInt32(9);
  EXPECT_STREQ(parcel.ReadString(), "text");
  EXPECT_EQ(parcel.ReadInt32(), 7);
  EXPECT_EQ(parcel.ReadInt32(), 9);
  EXPECT_FALSE(log.Contains(kReadEmpty));
  EXPECT_EQ(parcel.ReadInt32(), 0);
  EXPECT_TRUE(log.Contains(kReadEmpty));
  EXPECT_EQ(parcel.ReadString(), nullptr);

  // A later write is seen by the next read.
  parcel.WriteInt32(11);
  EXPECT_EQ(parcel.ReadInt32(), 11);
}

TEST(MediaParamRead, MismatchedWidthNeverTakesUnwrittenBytes) {
  LogCapture log;
  MediaParam parcel;
  parcel.WriteInt32(7);
  int64_t wide = 99;
  EXPECT_EQ(parcel.ReadInt64(&wide), MediaParam::kErrNoMore);
  EXPECT_EQ(wide, 99);
  EXPECT_TRUE(log.Contains(kReadEmpty));
  // The refused read did not move the position.
  EXPECT_EQ(parcel.ReadInt32(), 7);

  // At the very end of the buffer, a wide read could reach past it.
  MediaParam full;
  for (size_t i = 0; i < kInt32Slots; ++i) ASSERT_EQ(full.WriteInt32(1), 0);
  for (size_t i = 0; i < kInt32Slots - 1; ++i) ASSERT_EQ(full.ReadInt32(), 1);
  EXPECT_EQ(full.ReadDouble(), 0.0);
  EXPECT_EQ(full.ReadRawPointer(), nullptr);
  EXPECT_EQ(full.ReadInt32(), 1);
}

TEST(MediaParamString, KeepsItsOwnCopyAndRefusesNull) {
  MediaParam parcel;
  char text[] = "abc";
  parcel.WriteString(text);
  text[0] = 'x';
  EXPECT_THROW(parcel.WriteString(nullptr), std::logic_error);
  parcel.WriteString("");
  const char* first = parcel.ReadString();
  EXPECT_STREQ(first, "abc");
  EXPECT_NE(first, text);
  EXPECT_STREQ(parcel.ReadString(), "");  // the null text was not stored
  EXPECT_EQ(parcel.ReadString(), nullptr);
}

TEST(MediaParamReference, SharesObjectsInOrderAndReleasesThemOnDestruction) {
  auto object = std::make_shared<MediaRefBase>();
  {
    MediaParam parcel;
    parcel.WritePointer(object);
    parcel.WritePointer(nullptr);
    parcel.WritePointer(object);
    EXPECT_EQ(object.use_count(), 3);
    EXPECT_EQ(parcel.ReadPointer(), object);
    EXPECT_EQ(parcel.ReadPointer(), nullptr);  // the empty one, in its turn
    EXPECT_EQ(parcel.ReadPointer(), object);
    EXPECT_EQ(parcel.ReadPointer(), nullptr);  // none left
    EXPECT_EQ(object.use_count(), 3);          // reading hands out extra references only
  }
  EXPECT_EQ(object.use_count(), 1);
}

TEST(MediaParamCopy, CopyReadsFromTheStartAndLeavesTheSourceAlone) {
  Filled source;
  EXPECT_EQ(source.parcel.ReadInt32(), 1);
  EXPECT_STREQ(source.parcel.ReadString(), "one");
  EXPECT_EQ(source.parcel.ReadPointer(), source.object);

  MediaParam copied;
  copied.WriteInt32(100);
  copied.WriteString("old");
  copied.Copy(&source.parcel);
  ExpectFilledFrom(copied, 1, source.object);

  // The source goes on where it was.
  EXPECT_EQ(source.parcel.ReadInt32(), 2);
  EXPECT_STREQ(source.parcel.ReadString(), "two");
  EXPECT_EQ(source.parcel.ReadPointer(), nullptr);

  // The copy is independent: a write to it is not seen by the source.
  copied.WriteInt32(4);
  EXPECT_EQ(source.parcel.ReadInt32(), 3);
  EXPECT_EQ(source.parcel.ReadInt32(), 0);
}

TEST(MediaParamCopy, ConstructionAndAssignmentCopyAndShareReferences) {
  Filled source;
  EXPECT_EQ(source.object.use_count(), 2);
  {
    MediaParam byReference(source.parcel);
    EXPECT_EQ(source.object.use_count(), 3);
    MediaParam byPointer(&source.parcel);
    EXPECT_EQ(source.object.use_count(), 4);
    MediaParam assigned;
    assigned = source.parcel;
    EXPECT_EQ(source.object.use_count(), 5);
    assigned = source.parcel;  // the references held before are dropped
    EXPECT_EQ(source.object.use_count(), 5);
    ExpectFilledFrom(byReference, 1, source.object);
    ExpectFilledFrom(byPointer, 1, source.object);
    ExpectFilledFrom(assigned, 1, source.object);
  }
  EXPECT_EQ(source.object.use_count(), 2);
}

TEST(MediaParamCopy, CopyOfAFullParcelIsFullToo) {
  MediaParam full;
  for (size_t i = 0; i < kInt32Slots; ++i) ASSERT_EQ(full.WriteInt32(static_cast<int32_t>(i)), 0);
  MediaParam copied(full);
  EXPECT_EQ(copied.WriteInt32(0), MediaParam::kErrNoMore);
  for (size_t i = 0; i < kInt32Slots; ++i) ASSERT_EQ(copied.ReadInt32(), static_cast<int32_t>(i));
}

TEST(MediaParamCopy, SelfCopyKeepsContentAndPositions) {
  Filled filled;
  EXPECT_EQ(filled.parcel.ReadInt32(), 1);
  filled.parcel.Copy(&filled.parcel);
  MediaParam& alias = filled.parcel;
  filled.parcel = alias;
  EXPECT_EQ(filled.object.use_count(), 2);
  ExpectFilledFrom(filled.parcel, 2, filled.object);
  EXPECT_STREQ(filled.parcel.ReadString(), "one");
}

TEST(MediaParamCopy, CopyFromNullChangesNothing) {
  LogCapture log;
  Filled filled;
  EXPECT_EQ(filled.parcel.ReadInt32(), 1);
  filled.parcel.Copy(nullptr);
  EXPECT_TRUE(log.Contains(Param(kError, "Copy: Target pointer can not be nullptr")));
  ExpectFilledFrom(filled.parcel, 2, filled.object);
}

// A parcel without a buffer: constructed from null, or left by a Copy from
// such a parcel. Fixed-width operations fail; strings and references work.
void ExpectNoBuffer(MediaParam& parcel) {
  EXPECT_EQ(parcel.WriteInt32(1), MediaParam::kErrNoMore);
  EXPECT_EQ(parcel.WriteInt64(1), MediaParam::kErrNoMore);
  EXPECT_EQ(parcel.WriteFloat(1), MediaParam::kErrNoMore);
  EXPECT_EQ(parcel.WriteDouble(1), MediaParam::kErrNoMore);
  EXPECT_EQ(parcel.WriteRawPointer(nullptr), MediaParam::kErrNoMore);
  int32_t i32 = 5;
  int64_t i64 = 5;
  float f = 5;
  double d = 5;
  uint8_t* p = nullptr;
  EXPECT_EQ(parcel.ReadInt32(&i32), MediaParam::kErrNoMore);
  EXPECT_EQ(parcel.ReadInt64(&i64), MediaParam::kErrNoMore);
  EXPECT_EQ(parcel.ReadFloat(&f), MediaParam::kErrNoMore);
  EXPECT_EQ(parcel.ReadDouble(&d), MediaParam::kErrNoMore);
  EXPECT_EQ(parcel.ReadRawPointer(&p), MediaParam::kErrNoMore);
  EXPECT_EQ(i32 + i64 + f + d, 20);
}

TEST(MediaParamNoBuffer, ParcelFromNullFailsEveryFixedWidthOperation) {
  LogCapture log;
  MediaParam parcel(static_cast<const MediaParam*>(nullptr));
  EXPECT_TRUE(log.Contains(Param(kError, "Copy: Target pointer can not be nullptr")));
  ExpectNoBuffer(parcel);
  EXPECT_EQ(parcel.WriteString("s"), 0);
  EXPECT_STREQ(parcel.ReadString(), "s");

  // Copying from it is refused and leaves the target without a buffer too,
  // keeping the target's strings.
  Filled filled;
  log.Clear();
  filled.parcel.Copy(&parcel);
  EXPECT_TRUE(log.Contains(Param(kError, "Copy:Copy failed, invalid size: 0.")));
  ExpectNoBuffer(filled.parcel);
  EXPECT_STREQ(filled.parcel.ReadString(), "one");

  // A Copy from a sound parcel gives it a buffer again.
  Filled other;
  parcel.Copy(&other.parcel);
  ExpectFilledFrom(parcel, 1, other.object);
  EXPECT_EQ(parcel.WriteInt32(4), 0);
}

TEST(MediaParamFault, FailedByteCopyLogsAndLeavesTheParcelAsItWas) {
  LogCapture log;
  Filled source;
  Filled target;
  EXPECT_EQ(target.parcel.ReadInt32(), 1);
  {
    MemcpyFailure failure;
    target.parcel.Copy(&source.parcel);
    EXPECT_EQ(failure.Refused(), 1u);  // the program's memcpy_s was the one called
  }
  EXPECT_TRUE(log.Contains(Param(kError, "Copy: memcpy failed.")));
  EXPECT_EQ(source.object.use_count(), 2);  // no reference was copied
  ExpectFilledFrom(target.parcel, 2, target.object);
  EXPECT_EQ(target.parcel.WriteInt32(4), 0);
  EXPECT_EQ(target.parcel.ReadInt32(), 4);
}

TEST(MediaParamFault, CopyConstructionWhoseByteCopyFailsGivesAParcelWithoutBuffer) {
  LogCapture log;
  Filled source;
  std::unique_ptr<MediaParam> copied;
  {
    MemcpyFailure failure;
    copied = std::make_unique<MediaParam>(source.parcel);
  }
  EXPECT_TRUE(log.Contains(Param(kError, "Copy: memcpy failed.")));
  ExpectNoBuffer(*copied);
  EXPECT_EQ(copied->ReadString(), nullptr);
  EXPECT_EQ(copied->ReadPointer(), nullptr);
}

}  // namespace
