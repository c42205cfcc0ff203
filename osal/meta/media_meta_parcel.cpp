// MediaMeta on a MediaParam: the entry count on the byte sequence, then for
// each entry in key order its kind on the byte sequence, its key on the string
// sequence, and its value (texts on the string sequence, everything else on
// the byte sequence). Entries whose kind cannot travel keep their kind and key
// but carry no value, so the reader stays in step with the writer.
#include <cstdint>
#include <cstring>

#include "osal/meta/media_meta.h"
#include "osal/param/media_param.h"
#include "platform/log/zu_log.h"

namespace osal {
namespace {

constexpr const char* kTag = "MediaMeta";

using MetaItem = MediaMeta::MetaItem;

void LogUnexpectedKind(const char* operation, MetaType type) {
  ZuLogPrint(ZU_LOG_ERROR, kTag, "%s: Should not be here mType: %d", operation,
             static_cast<int>(type));
}

// Writes kind, key and value of one entry; false when its value cannot travel.
bool WriteEntry(MediaParam& param, const std::string& key, const MetaItem& item) {
  const MetaItem::Value& value = item.mValue;
  // A text entry without its text goes as a kind without a value: written as
  // MetaType::String, the reader would take the next key for its text.
  const bool textless = item.mType == MetaType::String && value.string == nullptr;
  param.WriteInt32(static_cast<int32_t>(textless ? MetaType::None : item.mType));
  param.WriteString(key.c_str());
  switch (item.mType) {
    case MetaType::Int32:
      param.WriteInt32(value.int32);
      return true;
    case MetaType::Int64:
      param.WriteInt64(value.int64);
      return true;
    case MetaType::Float:
      param.WriteDouble(value.float32);
      return true;
    case MetaType::Double:
      param.WriteDouble(value.float64);
      return true;
    case MetaType::Pointer:
      param.WriteInt64(static_cast<int64_t>(reinterpret_cast<intptr_t>(value.pointer)));
      return true;
    case MetaType::String:
      if (textless) break;
      param.WriteString(value.string);
      return true;
    case MetaType::Fraction:
      param.WriteInt32(value.fraction.numerator);
      param.WriteInt32(value.fraction.denominator);
      return true;
    case MetaType::Rect:
      param.WriteInt32(value.rect.left);
      param.WriteInt32(value.rect.top);
      param.WriteInt32(value.rect.right);
      param.WriteInt32(value.rect.bottom);
      return true;
    case MetaType::ByteBuffer:
      ZuLogPrint(ZU_LOG_ERROR, kTag, "MediaParam doesn't support WriteByteBuffer method");
      return false;
    case MetaType::Object:
      ZuLogPrint(ZU_LOG_ERROR, kTag, "MediaParam doesn't support WriteObject method");
      return false;
    default:
      break;
  }
  LogUnexpectedKind("WriteToMediaParam", item.mType);
  return false;
}

// Reads the value of one entry of kind `type` into a new item; null when the
// kind cannot travel or the text is missing. Such entries are left out of
// the container: an item of a kind no other operation handles, or a text
// entry without text, would only surprise its later readers.
std::shared_ptr<MetaItem> ReadItem(const MediaParam& param, MetaType type) {
  auto item = MetaItem::Create();
  item->mType = type;
  MetaItem::Value& value = item->mValue;
  switch (type) {
    case MetaType::Int32:
      value.int32 = param.ReadInt32();
      return item;
    case MetaType::Int64:
      value.int64 = param.ReadInt64();
      return item;
    case MetaType::Float:
      value.float32 = static_cast<float>(param.ReadDouble());
      return item;
    case MetaType::Double:
      value.float64 = param.ReadDouble();
      return item;
    case MetaType::Pointer:
      value.pointer = reinterpret_cast<void*>(static_cast<intptr_t>(param.ReadInt64()));
      return item;
    case MetaType::String: {
      const char* text = param.ReadString();
      if (text == nullptr) return nullptr;
      value.string = strdup(text);
      if (value.string == nullptr) {
        ZuLogPrint(ZU_LOG_ERROR, kTag, "fail to alloc mem for str");
        return nullptr;
      }
      return item;
    }
    case MetaType::Fraction:
      value.fraction.numerator = param.ReadInt32();
      value.fraction.denominator = param.ReadInt32();
      return item;
    case MetaType::Rect:
      value.rect.left = param.ReadInt32();
      value.rect.top = param.ReadInt32();
      value.rect.right = param.ReadInt32();
      value.rect.bottom = param.ReadInt32();
      return item;
    case MetaType::ByteBuffer:
      ZuLogPrint(ZU_LOG_ERROR, kTag, "MediaParam doesn't support ReadByteBuffer method");
      return nullptr;
    case MetaType::Object:
      ZuLogPrint(ZU_LOG_ERROR, kTag, "MediaParam doesn't support ReadObject method");
      return nullptr;
    default:
      LogUnexpectedKind("ReadFromMediaParam", type);
      return nullptr;
  }
}

}  // namespace

bool MediaMeta::WriteToMediaParam(MediaParam* param) {
  if (param == nullptr) return false;
  param->WriteInt32(static_cast<int32_t>(mItems.size()));
  bool result = true;
  for (const auto& [key, item] : mItems) {
    if (!WriteEntry(*param, key, *item)) result = false;
  }
  return result;
}

bool MediaMeta::ReadFromMediaParam(const MediaParam* param) {
  if (param == nullptr) return false;
  const int32_t count = param->ReadInt32();
  bool result = true;
  for (int32_t i = 0; i < count; ++i) {
    const auto type = static_cast<MetaType>(param->ReadInt32());
    const char* key = param->ReadString();
    // Without a key the block is broken off: nothing after it can be placed.
    if (key == nullptr) return false;
    std::shared_ptr<MetaItem> item = ReadItem(*param, type);
    if (item == nullptr) {
      result = false;
      continue;
    }
    mItems.insert_or_assign(std::string(key), std::move(item));
  }
  return result;
}

}  // namespace osal
