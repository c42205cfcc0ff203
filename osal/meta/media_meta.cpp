#include "osal/meta/media_meta.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/boundck/bounds_checked.h"
#include "platform/log/zu_log.h"

namespace osal {
namespace {

constexpr const char* kTag = "MediaMeta";

using MetaItem = MediaMeta::MetaItem;
using Value = MetaItem::Value;

// Where a value of one C++ type lives inside an item, and which kind marks it.
template <MetaType K, auto Member>
struct Slot {
  static constexpr MetaType kType = K;
  template <typename Item>
  static auto& Of(Item& item) {
    return item.mValue.*Member;
  }
};

template <typename T>
struct Kind;
template <> struct Kind<int8_t> : Slot<MetaType::Int8, &Value::int8> {};
template <> struct Kind<int16_t> : Slot<MetaType::Int16, &Value::int16> {};
template <> struct Kind<int32_t> : Slot<MetaType::Int32, &Value::int32> {};
template <> struct Kind<int64_t> : Slot<MetaType::Int64, &Value::int64> {};
template <> struct Kind<uint8_t> : Slot<MetaType::Uint8, &Value::uint8> {};
template <> struct Kind<uint16_t> : Slot<MetaType::Uint16, &Value::uint16> {};
template <> struct Kind<uint32_t> : Slot<MetaType::Uint32, &Value::uint32> {};
template <> struct Kind<uint64_t> : Slot<MetaType::Uint64, &Value::uint64> {};
template <> struct Kind<float> : Slot<MetaType::Float, &Value::float32> {};
template <> struct Kind<double> : Slot<MetaType::Double, &Value::float64> {};
template <> struct Kind<void*> : Slot<MetaType::Pointer, &Value::pointer> {};
template <> struct Kind<MediaMeta::Fraction> : Slot<MetaType::Fraction, &Value::fraction> {};
template <> struct Kind<MediaMeta::Rect> : Slot<MetaType::Rect, &Value::rect> {};
template <>
struct Kind<std::shared_ptr<MediaMeta::MetaBase>> {
  static constexpr MetaType kType = MetaType::Object;
  template <typename Item>
  static auto& Of(Item& item) {
    return item.mObject;
  }
};

struct Lookup {
  MediaMeta::ItemMap::iterator position;  // the entry, or where it would go
  bool found;
};

Lookup Locate(MediaMeta::ItemMap& items, const char* key) {
  auto position = items.lower_bound(key);
  return {position, position != items.end() && strcmp(position->first.c_str(), key) == 0};
}

MetaItem& Insert(MediaMeta::ItemMap& items, const Lookup& at, const char* key, MetaType type) {
  auto item = MetaItem::Create();
  item->mType = type;
  return *items.emplace_hint(at.position, key, std::move(item))->second;
}

struct FreeText {
  void operator()(char* text) const { free(text); }
};

}  // namespace

MediaMeta::MetaBase::~MetaBase() = default;

std::shared_ptr<MetaItem> MetaItem::Create() {
  return std::shared_ptr<MetaItem>(new MetaItem(), &MetaItem::Destroy);
}

void MetaItem::Destroy(MetaItem* item) {
  if (item == nullptr) return;
  switch (item->mType) {
    case MetaType::String:
      free(item->mValue.string);
      item->mValue.string = nullptr;
      break;
    case MetaType::ByteBuffer:
      delete[] item->mValue.buffer.data;
      item->mValue.buffer = {0, nullptr};
      break;
    case MetaType::Object:
      item->mObject.reset();
      break;
    default:
      break;
  }
  delete item;
}

MediaMeta::MediaMeta() = default;

MediaMeta::~MediaMeta() { Destroy(); }

std::shared_ptr<MediaMeta> MediaMeta::Create() { return std::shared_ptr<MediaMeta>(new MediaMeta()); }

void MediaMeta::Destroy() {
  mItems.clear();
  // Every remembered position but the end one now dangles.
  mBegin.reset();
}

bool MediaMeta::ContainsKey(const char* name) const {
  return name != nullptr && mItems.find(name) != mItems.end();
}

template <typename T>
bool MediaMeta::SetValue(const char* name, const T& value) {
  if (name == nullptr) return false;
  const Lookup at = Locate(mItems, name);
  if (at.found) {
    MetaItem& item = *at.position->second;
    if (item.mType != Kind<T>::kType) return false;
    Kind<T>::Of(item) = value;
    return true;
  }
  Kind<T>::Of(Insert(mItems, at, name, Kind<T>::kType)) = value;
  return true;
}

template <typename T>
bool MediaMeta::GetValue(const char* name, T& value) const {
  const MetaItem* item = Find(name, Kind<T>::kType);
  if (item == nullptr) return false;
  value = Kind<T>::Of(*item);
  return true;
}

bool MediaMeta::SetInt8(const char* name, int8_t value) { return SetValue(name, value); }
bool MediaMeta::SetInt16(const char* name, int16_t value) { return SetValue(name, value); }
bool MediaMeta::SetInt32(const char* name, int32_t value) { return SetValue(name, value); }
bool MediaMeta::SetInt64(const char* name, int64_t value) { return SetValue(name, value); }
bool MediaMeta::SetUint8(const char* name, uint8_t value) { return SetValue(name, value); }
bool MediaMeta::SetUint16(const char* name, uint16_t value) { return SetValue(name, value); }
bool MediaMeta::SetUint32(const char* name, uint32_t value) { return SetValue(name, value); }
bool MediaMeta::SetUint64(const char* name, uint64_t value) { return SetValue(name, value); }
bool MediaMeta::SetFloat(const char* name, float value) { return SetValue(name, value); }
bool MediaMeta::SetDouble(const char* name, double value) { return SetValue(name, value); }
bool MediaMeta::SetPointer(const char* name, void* value) { return SetValue(name, value); }
bool MediaMeta::SetRect(const char* name, Rect value) { return SetValue(name, value); }

bool MediaMeta::SetRect(const char* name, int left, int top, int right, int bottom) {
  return SetRect(name, Rect{left, top, right, bottom});
}

bool MediaMeta::SetFraction(const char* name, Fraction value) {
  if (value.denominator == 0) return false;
  return SetValue(name, value);
}

bool MediaMeta::SetFraction(const char* name, int numerator, int denominator) {
  return SetFraction(name, Fraction{numerator, denominator});
}

bool MediaMeta::SetObject(const char* name, const std::shared_ptr<MetaBase>& object) {
  return SetValue(name, object);
}

bool MediaMeta::SetString(const char* name, const char* text) {
  if (name == nullptr || text == nullptr) return false;
  const Lookup at = Locate(mItems, name);
  if (at.found) {
    const MetaItem& item = *at.position->second;
    if (item.mType != MetaType::String) return false;
    if (item.mValue.string != nullptr && strcmp(item.mValue.string, text) == 0) return true;
  }
  std::unique_ptr<char, FreeText> copy(strdup(text));
  if (copy == nullptr) {
    ZuLogPrint(ZU_LOG_ERROR, kTag, "fail to alloc mem for str");
    return false;
  }
  MetaItem& item = at.found ? *at.position->second : Insert(mItems, at, name, MetaType::String);
  free(item.mValue.string);
  item.mValue.string = copy.release();
  return true;
}

bool MediaMeta::SetByteBuffer(const char* name, ByteBuffer buffer) {
  if (name == nullptr || buffer.data == nullptr || buffer.size == 0) {
    ZuLogPrint(ZU_LOG_ERROR, kTag, "name %p, data %p, size %zu", static_cast<const void*>(name),
               static_cast<const void*>(buffer.data), static_cast<size_t>(buffer.size));
    return false;
  }
  const Lookup at = Locate(mItems, name);
  if (at.found && at.position->second->mType != MetaType::ByteBuffer) return false;
  // The bytes are copied before the old buffer is released: they may be
  // that very buffer.
  std::unique_ptr<unsigned char[]> bytes(new unsigned char[buffer.size]);
  if (memcpy_s(bytes.get(), buffer.size, buffer.data, buffer.size) != 0) return false;
  MetaItem& item = at.found ? *at.position->second : Insert(mItems, at, name, MetaType::ByteBuffer);
  delete[] item.mValue.buffer.data;
  item.mValue.buffer = {buffer.size, bytes.release()};
  return true;
}

bool MediaMeta::SetByteBuffer(const char* name, unsigned char* data, unsigned long size) {
  return SetByteBuffer(name, ByteBuffer{size, data});
}

bool MediaMeta::GetInt8(const char* name, int8_t& value) const { return GetValue(name, value); }
bool MediaMeta::GetInt16(const char* name, int16_t& value) const { return GetValue(name, value); }
bool MediaMeta::GetInt32(const char* name, int32_t& value) const { return GetValue(name, value); }
bool MediaMeta::GetInt64(const char* name, int64_t& value) const { return GetValue(name, value); }
bool MediaMeta::GetUint8(const char* name, uint8_t& value) const { return GetValue(name, value); }
bool MediaMeta::GetUint16(const char* name, uint16_t& value) const { return GetValue(name, value); }
bool MediaMeta::GetUint32(const char* name, uint32_t& value) const { return GetValue(name, value); }
bool MediaMeta::GetUint64(const char* name, uint64_t& value) const { return GetValue(name, value); }
bool MediaMeta::GetFloat(const char* name, float& value) const { return GetValue(name, value); }
bool MediaMeta::GetDouble(const char* name, double& value) const { return GetValue(name, value); }
bool MediaMeta::GetPointer(const char* name, void*& value) const { return GetValue(name, value); }
bool MediaMeta::GetFraction(const char* name, Fraction& value) const { return GetValue(name, value); }
bool MediaMeta::GetRect(const char* name, Rect& value) const { return GetValue(name, value); }

bool MediaMeta::GetObject(const char* name, std::shared_ptr<MetaBase>& object) const {
  return GetValue(name, object);
}

bool MediaMeta::GetString(const char* name, const char*& text) const {
  const MetaItem* item = Find(name, MetaType::String);
  if (item == nullptr) return false;
  text = item->mValue.string;
  return true;
}

bool MediaMeta::GetByteBuffer(const char* name, ByteBuffer& buffer) const {
  const MetaItem* item = Find(name, MetaType::ByteBuffer);
  if (item == nullptr) return false;
  buffer = item->mValue.buffer;
  return true;
}

bool MediaMeta::GetByteBuffer(const char* name, unsigned char*& data, int& size) const {
  ByteBuffer buffer;
  if (!GetByteBuffer(name, buffer)) return false;
  data = buffer.data;
  size = static_cast<int>(static_cast<uint32_t>(buffer.size));
  return true;
}

bool MediaMeta::GetFraction(const char* name, int& numerator, int& denominator) const {
  Fraction value;
  if (!GetFraction(name, value)) return false;
  numerator = value.numerator;
  denominator = value.denominator;
  return true;
}

bool MediaMeta::GetRect(const char* name, int& left, int& top, int& right, int& bottom) const {
  Rect value;
  if (!GetRect(name, value)) return false;
  left = value.left;
  top = value.top;
  right = value.right;
  bottom = value.bottom;
  return true;
}

}  // namespace osal
