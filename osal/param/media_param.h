// MediaParam: an in-process parcel of typed values.
//
// A producer writes values one after another; a consumer reads them back in
// the same order. A parcel holds three independent sequences:
//   - the byte sequence: fixed-width values (32/64-bit integers, float,
//     double, raw addresses) packed back to back, without tags or padding,
//     in host byte order, into one owned buffer of kCapacity bytes that never
//     grows;
//   - the string sequence: owned copies of written texts;
//   - the reference sequence: shared references to MediaRefBase objects.
// Nothing records which kind comes next or how the sequences interleave: a
// reader reads each sequence with the same kinds, in the same order, as its
// writer. A MediaMeta travels on a parcel through
// MediaMeta::WriteToMediaParam / ReadFromMediaParam.
//
//   osal::MediaParam parcel;
//   parcel.WriteInt32(1920);
//   parcel.WriteString("video/avc");
//   int32_t width = parcel.ReadInt32();      // 1920
//   const char* mime = parcel.ReadString();  // "video/avc"
//
// Results: the fixed-width operations return 0, or -1 (kErrNoMore) when the
// buffer has no room for the value or nothing written is left to read.
// A read that would take bytes beyond those written fails the same way and
// leaves its position where it was.
//
// A parcel without a buffer (constructed from a null parcel, or after a Copy
// from such a parcel) has capacity 0: every fixed-width write and read fails
// with -1; strings and references still work.
//
// Ownership: the parcel owns its buffer and its string copies and shares
// ownership of every referenced object. A raw pointer is stored as a bare
// address and never dereferenced. Parcels never leave the process.
//
// Logging (tag "MediaParam"): every fixed-width write and every pointer-form
// fixed-width read writes a verbose line, every WriteString one too; running
// full or empty and failed copies are errors.
//
// Thread safety: none. Reads are const but advance the read positions, so a
// parcel is used by one thread at a time, reads included. Separate parcels
// are independent; after a Copy both share the referenced objects, whose use
// counts are atomic but whose contents the parcel does not protect.
#ifndef OSAL_PARAM_MEDIA_PARAM_H_
#define OSAL_PARAM_MEDIA_PARAM_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "osal/meta/media_ref_base.h"
#include "osal/osal_export.h"

namespace osal {

class OSAL_EXPORT MediaParam {
 public:
  // Size of the byte sequence of every parcel.
  static constexpr size_t kCapacity = 32768;
  // The only error of the fixed-width operations (ERR_NO_MORE).
  static constexpr int kErrNoMore = -1;

  // An empty parcel with a kCapacity-byte buffer (not zeroed).
  MediaParam();
  // A copy of `other`, reading from its start (see Copy).
  MediaParam(const MediaParam& other);
  // A copy of `*other`; with a null `other`, an error line and an empty
  // parcel without a buffer.
  explicit MediaParam(const MediaParam* other);
  // Copy(&other); returns this parcel. There are no move operations: moving
  // a parcel copies it, and the source keeps its content.
  MediaParam& operator=(const MediaParam& other);
  // Not virtual: MediaParam is not a base class.
  ~MediaParam();

  // Makes this parcel a copy of `other`: the whole buffer, the written
  // length, every string and every reference (each referenced object is then
  // shared by both parcels). The copy's read positions start at 0; `other`
  // is not changed. Failures are logged and leave a usable parcel:
  //   - null `other`: nothing changes;
  //   - `other` has no buffer: this parcel is left without one (its strings
  //     and references stay);
  //   - the byte copy fails: nothing changes.
  // Copying a parcel onto itself changes nothing. Throws std::bad_alloc, in
  // which case nothing changes.
  void Copy(const MediaParam* other);

  // Fixed-width writes: append the value to the byte sequence. 0, or -1
  // when fewer bytes than its width are free (nothing stored).
  int WriteInt32(int32_t value);
  int WriteInt64(int64_t value);
  int WriteFloat(float value);
  int WriteDouble(double value);
  // Stores the address itself (8 bytes); the pointee is not touched.
  int WriteRawPointer(const uint8_t* ptr);

  // Appends a copy of the NUL-terminated `str` to the string sequence;
  // always 0. Throws std::logic_error for a null `str` (nothing stored).
  int WriteString(const char* str);
  // Appends a copy of `ref` (an empty one too) to the reference sequence;
  // always 0.
  int WritePointer(const std::shared_ptr<MediaRefBase>& ref);

  // Fixed-width reads, pointer form: 0 and the next value stored through
  // `out`, or -1 with `*out` untouched when the next value of this width was
  // not written.
  int ReadInt32(int32_t* out) const;
  int ReadInt64(int64_t* out) const;
  int ReadFloat(float* out) const;
  int ReadDouble(double* out) const;
  int ReadRawPointer(uint8_t** out) const;

  // Fixed-width reads, value form: the next value, or 0 / 0.0 / null when
  // the pointer form fails (a caller cannot tell a stored zero from none).
  int32_t ReadInt32() const;
  int64_t ReadInt64() const;
  float ReadFloat() const;
  double ReadDouble() const;
  uint8_t* ReadRawPointer() const;

  // The parcel's own copy of the next string, or null when none is left.
  // Valid until the parcel is destroyed, a Copy replaces its strings, or a
  // later WriteString grows the list.
  const char* ReadString() const;
  // The next reference (the parcel keeps its own), or an empty pointer when
  // none is left.
  std::shared_ptr<MediaRefBase> ReadPointer() const;

 private:
  int WriteFixed(const void* value, size_t size);
  int ReadFixed(void* out, size_t size) const;
  template <typename T>
  T ReadValue() const;

  std::unique_ptr<uint8_t[]> mBuffer;  // the byte sequence; null for a parcel without a buffer
  size_t mCapacity = 0;                // bytes in mBuffer
  size_t mWritePos = 0;                // bytes written; never above mCapacity
  mutable size_t mReadPos = 0;         // offset of the next fixed-width read; never above mWritePos
  std::vector<std::string> mStrings;
  mutable size_t mStringReadIndex = 0;
  std::vector<std::shared_ptr<MediaRefBase>> mPointers;
  mutable size_t mPointerReadIndex = 0;
};

}  // namespace osal

#endif  // OSAL_PARAM_MEDIA_PARAM_H_
