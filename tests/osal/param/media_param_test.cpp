#include "osal/param/media_param.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "platform/boundck/bounds_checked.h"
#include "tests/support/log_capture.h"
#include "tests/support/memcpy_s_failure.h"

namespace {

using osal::MediaParam;
using osal::MediaRefBase;
using testing_support::LogCapture;
using testing_support::LogLine;

constexpr size_t kInt32Slots = MediaParam::kCapacity / 4;

LogLine Param(int level, const char* message) { return {level, "MediaParam", message}; }

const LogLine kWriteFull = Param(ZU_LOG_ERROR, "WriteFixed failed: ERR_NO_MORE.");
const LogLine kReadEmpty = Param(ZU_LOG_ERROR, "ReadFixed failed: ERR_NO_MORE.");
const LogLine kCopyFromNull = Param(ZU_LOG_ERROR, "Copy: Target pointer can not be nullptr");

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

// Expects the int32 values from `first` to 3, then nothing; from the start,
// also both texts and the reference.
void ExpectFilledFrom(const MediaParam& parcel, int32_t first, const std::shared_ptr<MediaRefBase>& object) {
  for (int32_t v = first; v <= 3; ++v) EXPECT_EQ(parcel.ReadInt32(), v);
  int32_t rest = 99;
  EXPECT_EQ(parcel.ReadInt32(&rest), -1);
  if (first != 1) return;
  EXPECT_STREQ(parcel.ReadString(), "one");
  EXPECT_STREQ(parcel.ReadString(), "two");
  EXPECT_EQ(parcel.ReadPointer(), object);
}

TEST(MediaParamRead, SequencesAreIndependentAndRunOutCleanly) {
  LogCapture log;
  MediaParam parcel;
  int32_t value = 42;
  EXPECT_EQ(parcel.ReadInt32(&value), MediaParam::kErrNoMore);
  EXPECT_EQ(value, 42);
  EXPECT_TRUE(log.Contains(kReadEmpty));
  EXPECT_EQ(parcel.ReadDouble(), 0.0);
  EXPECT_EQ(parcel.ReadRawPointer(), nullptr);
  EXPECT_EQ(parcel.ReadString(), nullptr);
  EXPECT_EQ(parcel.ReadPointer(), nullptr);

  char text[] = "text";
  parcel.WriteInt32(7);
  parcel.WriteString(text);
  text[0] = 'x';  // the parcel keeps its own copy
  EXPECT_THROW(parcel.WriteString(nullptr), std::logic_error);
  parcel.WriteInt32(9);
  EXPECT_STREQ(parcel.ReadString(), "text");
  EXPECT_EQ(parcel.ReadString(), nullptr);  // the null text was not stored
  EXPECT_EQ(parcel.ReadInt32(), 7);
  EXPECT_EQ(parcel.ReadInt32(), 9);
  log.Clear();
  EXPECT_EQ(parcel.ReadInt32(), 0);
  EXPECT_TRUE(log.Contains(kReadEmpty));
  parcel.WriteInt32(11);  // a later write is seen by the next read
  EXPECT_EQ(parcel.ReadInt32(), 11);
}

TEST(MediaParamLayout, ValuesArePackedUnalignedInHostOrder) {
  MediaParam parcel;
  uint8_t target = 0;
  parcel.WriteInt32(0x11223344);
  parcel.WriteInt64(-2);  // starts at offset 4
  parcel.WriteFloat(1.5f);
  parcel.WriteDouble(-0.1);
  parcel.WriteRawPointer(&target);

  // Read with other widths: the bytes lie back to back, little-endian.
  EXPECT_EQ(parcel.ReadInt64(), static_cast<int64_t>(0xfffffffe11223344ull));
  EXPECT_EQ(parcel.ReadInt32(), -1);  // high half of -2
  const int32_t bits = parcel.ReadInt32();
  float f;
  memcpy(&f, &bits, sizeof(f));
  EXPECT_EQ(f, 1.5f);
  EXPECT_EQ(parcel.ReadDouble(), -0.1);
  uint8_t* p = nullptr;
  EXPECT_EQ(parcel.ReadRawPointer(&p), 0);
  EXPECT_EQ(p, &target);
}

TEST(MediaParamLog, EachWriteAndPointerFormReadTracesItsValueAndWidth) {
  LogCapture log;
  MediaParam parcel;
  parcel.WriteInt32(7);
  parcel.WriteFloat(1.5f);
  parcel.WriteDouble(2.25);
  parcel.WriteRawPointer(reinterpret_cast<uint8_t*>(0x1234));
  parcel.WriteString("text");
  parcel.WritePointer(nullptr);
  int64_t value;
  parcel.ReadInt64(&value);
  parcel.ReadString();
  parcel.ReadPointer();
  const std::vector<LogLine> expected = {
      Param(ZU_LOG_VERBOSE, "WriteFixed valSize: 4"),
      Param(ZU_LOG_VERBOSE, "WriteFloat val: 1.500000"),
      Param(ZU_LOG_VERBOSE, "WriteFixed valSize: 4"),
      Param(ZU_LOG_VERBOSE, "WriteDouble val: 2.250000"),
      Param(ZU_LOG_VERBOSE, "WriteFixed valSize: 8"),
      Param(ZU_LOG_VERBOSE, "WriteRawPointer val: 0x1234"),
      Param(ZU_LOG_VERBOSE, "WriteFixed valSize: 8"),
      Param(ZU_LOG_VERBOSE, "WriteString val: text"),
      Param(ZU_LOG_VERBOSE, "ReadFixed valSize: 8"),
  };
  EXPECT_EQ(log.Lines(), expected);
}

TEST(MediaParamCapacity, FillsToExactlyTheCapacityAndReadsNeverPassWhatWasWritten) {
  MediaParam parcel;
  for (size_t i = 0; i < kInt32Slots - 1; ++i) ASSERT_EQ(parcel.WriteInt32(static_cast<int32_t>(i)), 0);
  LogCapture log;
  EXPECT_EQ(parcel.WriteInt64(1), MediaParam::kErrNoMore);  // 4 bytes free
  EXPECT_EQ(parcel.WriteInt32(-5), 0);
  EXPECT_EQ(parcel.WriteInt32(6), MediaParam::kErrNoMore);
  EXPECT_EQ(log.Count(kWriteFull), 2u);
  EXPECT_EQ(parcel.WriteString("still"), 0);  // strings have no limit

  for (size_t i = 0; i < kInt32Slots - 1; ++i) ASSERT_EQ(parcel.ReadInt32(), static_cast<int32_t>(i));
  // One int32 left at the very end: a wider read would run past the buffer.
  double wide = 99;
  EXPECT_EQ(parcel.ReadDouble(&wide), MediaParam::kErrNoMore);
  EXPECT_EQ(wide, 99);
  EXPECT_EQ(parcel.ReadInt32(), -5);  // the refused read did not move on

  MediaParam small;
  small.WriteInt32(7);
  EXPECT_EQ(small.ReadInt64(), 0);  // never the unwritten bytes after the 7
  EXPECT_EQ(small.ReadInt32(), 7);
}

TEST(MediaParamCopy, CopiesReadFromTheStartAndShareReferences) {
  Filled source;
  EXPECT_EQ(source.parcel.ReadInt32(), 1);
  EXPECT_STREQ(source.parcel.ReadString(), "one");
  EXPECT_EQ(source.object.use_count(), 2);
  {
    MediaParam constructed(source.parcel);
    MediaParam fromPointer(&source.parcel);
    MediaParam assigned;
    assigned.WriteInt32(100);
    assigned.WriteString("old");
    assigned = source.parcel;
    assigned = source.parcel;  // the references held before are dropped
    EXPECT_EQ(source.object.use_count(), 5);
    ExpectFilledFrom(constructed, 1, source.object);
    ExpectFilledFrom(fromPointer, 1, source.object);
    ExpectFilledFrom(assigned, 1, source.object);
    assigned.WriteInt32(4);  // not seen by the source
  }
  EXPECT_EQ(source.object.use_count(), 2);
  EXPECT_EQ(source.parcel.ReadInt32(), 2);  // the source goes on where it was
  EXPECT_STREQ(source.parcel.ReadString(), "two");
  EXPECT_EQ(source.parcel.ReadInt32(), 3);
  EXPECT_EQ(source.parcel.ReadInt32(), 0);
}

TEST(MediaParamCopy, SelfCopyAndCopyFromNullChangeNothing) {
  LogCapture log;
  Filled filled;
  EXPECT_EQ(filled.parcel.ReadInt32(), 1);
  filled.parcel.Copy(&filled.parcel);
  MediaParam& alias = filled.parcel;
  filled.parcel = alias;
  filled.parcel.Copy(nullptr);
  EXPECT_TRUE(log.Contains(kCopyFromNull));
  EXPECT_EQ(filled.object.use_count(), 2);
  ExpectFilledFrom(filled.parcel, 2, filled.object);
  EXPECT_STREQ(filled.parcel.ReadString(), "one");
}

// Fixed-width operations of a parcel without a buffer fail without touching memory.
void ExpectNoBuffer(MediaParam& parcel) {
  EXPECT_EQ(parcel.WriteInt32(1), MediaParam::kErrNoMore);
  EXPECT_EQ(parcel.WriteRawPointer(nullptr), MediaParam::kErrNoMore);
  int32_t i32 = 5;
  double d = 5;
  EXPECT_EQ(parcel.ReadInt32(&i32), MediaParam::kErrNoMore);
  EXPECT_EQ(parcel.ReadDouble(&d), MediaParam::kErrNoMore);
  EXPECT_EQ(i32 + d, 10);
}

TEST(MediaParamNoBuffer, FromNullOrFromABufferlessParcelFixedWidthOperationsFail) {
  LogCapture log;
  MediaParam parcel(static_cast<const MediaParam*>(nullptr));
  EXPECT_TRUE(log.Contains(kCopyFromNull));
  ExpectNoBuffer(parcel);
  EXPECT_EQ(parcel.WriteString("s"), 0);
  EXPECT_STREQ(parcel.ReadString(), "s");

  Filled filled;
  filled.parcel.Copy(&parcel);
  EXPECT_TRUE(log.Contains(Param(ZU_LOG_ERROR, "Copy:Copy failed, invalid size: 0.")));
  ExpectNoBuffer(filled.parcel);
  EXPECT_STREQ(filled.parcel.ReadString(), "one");  // its strings stay

  Filled other;
  parcel.Copy(&other.parcel);  // a sound source gives it a buffer again
  ExpectFilledFrom(parcel, 1, other.object);
}

TEST(MediaParamFault, FailedByteCopyIsLoggedAndLeavesADefinedParcel) {
  LogCapture log;
  Filled source;
  Filled target;
  EXPECT_EQ(target.parcel.ReadInt32(), 1);
  std::unique_ptr<MediaParam> constructed;
  {
    testing_support::MemcpySFailure failing;
    target.parcel.Copy(&source.parcel);
    constructed = std::make_unique<MediaParam>(source.parcel);
    EXPECT_EQ(failing.Refused(), 2);  // the program's memcpy_s was the one called
  }
  EXPECT_EQ(log.Count(Param(ZU_LOG_ERROR, "Copy: memcpy failed.")), 2u);
  EXPECT_EQ(source.object.use_count(), 2);  // no reference was copied
  // An assigned parcel stays as it was, and usable.
  ExpectFilledFrom(target.parcel, 2, target.object);
  EXPECT_EQ(target.parcel.WriteInt32(4), 0);
  EXPECT_EQ(target.parcel.ReadInt32(), 4);
  // A copy-constructed one has no buffer, and nothing else.
  ExpectNoBuffer(*constructed);
  EXPECT_EQ(constructed->ReadString(), nullptr);
}

}  // namespace
