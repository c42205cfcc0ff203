#include "osal/param/media_param.h"

#include <cstring>
#include <stdexcept>

#include "platform/boundck/bounds_checked.h"
#include "platform/log/zu_log.h"

namespace osal {
namespace {

constexpr const char* kTag = "MediaParam";

}  // namespace

MediaParam::MediaParam() : mBuffer(new uint8_t[kCapacity]), mCapacity(kCapacity) {}

MediaParam::MediaParam(const MediaParam& other) { Copy(&other); }

MediaParam::MediaParam(const MediaParam* other) { Copy(other); }

MediaParam& MediaParam::operator=(const MediaParam& other) {
  Copy(&other);
  return *this;
}

MediaParam::~MediaParam() {
  mBuffer.reset();
  mPointers.clear();
  mStrings.clear();
}

void MediaParam::Copy(const MediaParam* other) {
  if (other == nullptr) {
    ZuLogPrint(ZU_LOG_ERROR, kTag, "%s: Target pointer can not be nullptr", "Copy");
    return;
  }
  if (other == this) return;  // keeps content and read positions
  const size_t size = other->mCapacity;
  if (size == 0) {
    ZuLogPrint(ZU_LOG_ERROR, kTag, "%s:Copy failed, invalid size: %zu.", "Copy", size);
    // Without a buffer, capacity 0 makes every fixed-width operation fail.
    mBuffer.reset();
    mCapacity = 0;
    mWritePos = 0;
    mReadPos = 0;
    return;
  }
  // The old buffer is replaced only once the new one holds the source's
  // bytes, so a failed copy leaves this parcel as it was.
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[size]);
  if (memcpy_s(buffer.get(), size, other->mBuffer.get(), size) != 0) {
    ZuLogPrint(ZU_LOG_ERROR, kTag, "%s: memcpy failed.", "Copy");
    return;
  }
  std::vector<std::string> strings(other->mStrings);
  std::vector<std::shared_ptr<MediaRefBase>> pointers(other->mPointers);
  mBuffer = std::move(buffer);
  mCapacity = size;
  mWritePos = other->mWritePos;
  mReadPos = 0;
  mStrings = std::move(strings);
  mStringReadIndex = 0;
  mPointers = std::move(pointers);
  mPointerReadIndex = 0;
}

int MediaParam::WriteFixed(const void* value, size_t size) {
  ZuLogPrint(ZU_LOG_VERBOSE, kTag, "%s valSize: %zu", "WriteFixed", size);
  if (size > mCapacity - mWritePos) {
    ZuLogPrint(ZU_LOG_ERROR, kTag, "%s failed: ERR_NO_MORE.", "WriteFixed");
    return kErrNoMore;
  }
  memcpy(mBuffer.get() + mWritePos, value, size);
  mWritePos += size;
  return 0;
}

int MediaParam::ReadFixed(void* out, size_t size) const {
  ZuLogPrint(ZU_LOG_VERBOSE, kTag, "%s valSize: %zu", "ReadFixed", size);
  // Bytes past mWritePos were never written: a reader whose widths differ
  // from its writer's must not take them.
  if (size > mWritePos - mReadPos) {
    ZuLogPrint(ZU_LOG_ERROR, kTag, "%s failed: ERR_NO_MORE.", "ReadFixed");
    return kErrNoMore;
  }
  memcpy(out, mBuffer.get() + mReadPos, size);
  mReadPos += size;
  return 0;
}

int MediaParam::WriteInt32(int32_t value) { return WriteFixed(&value, sizeof(value)); }

int MediaParam::WriteInt64(int64_t value) { return WriteFixed(&value, sizeof(value)); }

int MediaParam::WriteFloat(float value) {
  ZuLogPrint(ZU_LOG_VERBOSE, kTag, "%s val: %f", "WriteFloat", static_cast<double>(value));
  return WriteFixed(&value, sizeof(value));
}

int MediaParam::WriteDouble(double value) {
  ZuLogPrint(ZU_LOG_VERBOSE, kTag, "%s val: %f", "WriteDouble", value);
  return WriteFixed(&value, sizeof(value));
}

int MediaParam::WriteRawPointer(const uint8_t* ptr) {
  static_assert(sizeof(ptr) == 8, "addresses travel as 8 bytes");
  ZuLogPrint(ZU_LOG_VERBOSE, kTag, "%s val: %p", "WriteRawPointer", static_cast<const void*>(ptr));
  return WriteFixed(&ptr, sizeof(ptr));
}

int MediaParam::WriteString(const char* str) {
  if (str == nullptr) throw std::logic_error("MediaParam::WriteString: null text");
  ZuLogPrint(ZU_LOG_VERBOSE, kTag, "%s val: %s", "WriteString", str);
  mStrings.emplace_back(str);
  return 0;
}

int MediaParam::WritePointer(const std::shared_ptr<MediaRefBase>& ref) {
  mPointers.push_back(ref);
  return 0;
}

int MediaParam::ReadInt32(int32_t* out) const { return ReadFixed(out, sizeof(*out)); }

int MediaParam::ReadInt64(int64_t* out) const { return ReadFixed(out, sizeof(*out)); }

int MediaParam::ReadFloat(float* out) const { return ReadFixed(out, sizeof(*out)); }

int MediaParam::ReadDouble(double* out) const { return ReadFixed(out, sizeof(*out)); }

int MediaParam::ReadRawPointer(uint8_t** out) const { return ReadFixed(out, sizeof(*out)); }

// The value forms read as their pointer forms do, through ReadFixed.
template <typename T>
T MediaParam::ReadValue() const {
  T value{};  // left as it is by a failed read
  ReadFixed(&value, sizeof(value));
  return value;
}

int32_t MediaParam::ReadInt32() const { return ReadValue<int32_t>(); }

int64_t MediaParam::ReadInt64() const { return ReadValue<int64_t>(); }

float MediaParam::ReadFloat() const { return ReadValue<float>(); }

double MediaParam::ReadDouble() const { return ReadValue<double>(); }

uint8_t* MediaParam::ReadRawPointer() const { return ReadValue<uint8_t*>(); }

const char* MediaParam::ReadString() const {
  if (mStringReadIndex >= mStrings.size()) return nullptr;
  return mStrings[mStringReadIndex++].c_str();
}

std::shared_ptr<MediaRefBase> MediaParam::ReadPointer() const {
  if (mPointerReadIndex >= mPointers.size()) return nullptr;
  return mPointers[mPointerReadIndex++];
}

}  // namespace osal
