// Iteration, Copy, Merge and Dump of MediaMeta.
#include <cstddef>
#include <utility>

#include "osal/meta/media_meta.h"
#include "platform/log/zu_log.h"

namespace osal {
namespace {

constexpr const char* kTag = "MediaMeta";

using MetaItem = MediaMeta::MetaItem;

// A text or byte-buffer item that holds nothing to duplicate.
bool HasNoPayload(const MetaItem& item) {
  switch (item.mType) {
    case MetaType::String:
      return item.mValue.string == nullptr;
    case MetaType::ByteBuffer:
      return item.mValue.buffer.data == nullptr || item.mValue.buffer.size == 0;
    default:
      return false;
  }
}

}  // namespace

MediaMeta::ConstIterator::ConstIterator(const ItemMap& items, ItemMap::const_iterator position)
    : mItems(&items), mPosition(position) {}

MediaMeta::ConstIterator& MediaMeta::ConstIterator::operator++() {
  if (mPosition != mItems->end()) ++mPosition;
  return *this;
}

MediaMeta::ConstIterator MediaMeta::ConstIterator::operator++(int) { return ++*this; }

MediaMeta::ConstIterator& MediaMeta::ConstIterator::operator*() { return *this; }

const std::string& MediaMeta::ConstIterator::Key() const {
  static const std::string kNoKey;
  return mPosition == mItems->end() ? kNoKey : mPosition->first;
}

const std::shared_ptr<MediaMeta::MetaItem>& MediaMeta::ConstIterator::Value() const {
  static const std::shared_ptr<MetaItem> kNoItem;
  return mPosition == mItems->end() ? kNoItem : mPosition->second;
}

bool MediaMeta::ConstIterator::operator==(const ConstIterator& other) const {
  return mPosition == other.mPosition;
}

bool MediaMeta::ConstIterator::operator!=(const ConstIterator& other) const { return !(*this == other); }

MediaMeta::ConstIterator MediaMeta::Begin() const {
  const ConstIterator first(mItems, mItems.begin());
  if (mBegin == nullptr || *mBegin != first) mBegin = std::make_unique<ConstIterator>(first);
  return *mBegin;
}

MediaMeta::ConstIterator MediaMeta::End() const {
  const ConstIterator end(mItems, mItems.end());
  if (mEnd == nullptr || *mEnd != end) mEnd = std::make_unique<ConstIterator>(end);
  return *mEnd;
}

std::shared_ptr<MediaMeta> MediaMeta::Copy() const {
  std::shared_ptr<MediaMeta> copy = Create();
  for (const auto& [key, item] : mItems) {
    bool copied = true;
    if (HasNoPayload(*item)) {
      // Nothing to duplicate, but the copy still gets an item of its own, so
      // a later text or buffer set on either side stays on that side.
      auto empty = MetaItem::Create();
      empty->mType = item->mType;
      copy->mItems.emplace_hint(copy->mItems.end(), key, std::move(empty));
    } else if (item->mType == MetaType::String) {
      copied = copy->SetString(key.c_str(), item->mValue.string);
    } else if (item->mType == MetaType::ByteBuffer) {
      copied = copy->SetByteBuffer(key.c_str(), item->mValue.buffer);
    } else {
      copy->mItems.emplace_hint(copy->mItems.end(), key, item);
    }
    if (!copied) {
      ZuLogPrint(ZU_LOG_ERROR, kTag, "%s: copy %s failed", "Copy", key.c_str());
      return nullptr;
    }
  }
  return copy;
}

bool MediaMeta::Merge(std::shared_ptr<MediaMeta> other) {
  if (other == nullptr) return false;
  // Every entry would be set onto itself: nothing to change.
  if (other.get() == this) return true;
  for (const auto& [key, item] : other->mItems) {
    const char* name = key.c_str();
    const MetaItem::Value& value = item->mValue;
    bool merged = false;
    switch (item->mType) {
      case MetaType::Int32:
        merged = SetInt32(name, value.int32);
        break;
      case MetaType::Int64:
        merged = SetInt64(name, value.int64);
        break;
      case MetaType::Float:
        merged = SetFloat(name, value.float32);
        break;
      case MetaType::Double:
        merged = SetDouble(name, value.float64);
        break;
      case MetaType::Pointer:
        merged = SetPointer(name, value.pointer);
        break;
      case MetaType::String:
        merged = SetString(name, value.string);
        break;
      case MetaType::ByteBuffer:
        merged = SetByteBuffer(name, value.buffer);
        break;
      case MetaType::Fraction:
        merged = SetFraction(name, value.fraction);
        break;
      case MetaType::Rect:
        merged = SetRect(name, value.rect);
        break;
      case MetaType::Object:
        merged = SetObject(name, item->mObject);
        break;
      default:
        ZuLogPrint(ZU_LOG_ERROR, kTag, "%s: Should not be here mType: %d", "Merge",
                   static_cast<int>(item->mType));
        continue;
    }
    if (!merged) {
      ZuLogPrint(ZU_LOG_ERROR, kTag, "%s: Merge %s failed", "Merge", name);
      return false;
    }
  }
  return true;
}

void MediaMeta::Dump() const {
  ZuLogPrint(ZU_LOG_DEBUG, kTag, "######## MediaMeta dump debug");
  for (const auto& [key, item] : mItems) {
    const char* name = key.c_str();
    const MetaItem::Value& value = item->mValue;
    switch (item->mType) {
      case MetaType::None:
        ZuLogPrint(ZU_LOG_DEBUG, kTag, "empty item");
        break;
      case MetaType::Int32:
        ZuLogPrint(ZU_LOG_DEBUG, kTag, "(%s, int32_t:%d)", name, value.int32);
        break;
      case MetaType::Int64:
        ZuLogPrint(ZU_LOG_DEBUG, kTag, "(%s, int64_t:%ld)", name, static_cast<long>(value.int64));
        break;
      case MetaType::Float:
        ZuLogPrint(ZU_LOG_DEBUG, kTag, "(%s, float:%f)", name, static_cast<double>(value.float32));
        break;
      case MetaType::Double:
        ZuLogPrint(ZU_LOG_DEBUG, kTag, "(%s, double:%f)", name, value.float64);
        break;
      case MetaType::Pointer:
        ZuLogPrint(ZU_LOG_DEBUG, kTag, "(%s, pointer:%p)", name, value.pointer);
        break;
      case MetaType::String:
        ZuLogPrint(ZU_LOG_DEBUG, kTag, "(%s, string:%s)", name,
                   value.string != nullptr ? value.string : "(null)");
        break;
      case MetaType::ByteBuffer:
        ZuLogPrint(ZU_LOG_DEBUG, kTag, "(%s, bytebuffer(%p, %zu))", name,
                   static_cast<const void*>(value.buffer.data), static_cast<size_t>(value.buffer.size));
        break;
      case MetaType::Fraction:
        ZuLogPrint(ZU_LOG_DEBUG, kTag, "(%s, fraction:(%d/%d))", name, value.fraction.numerator,
                   value.fraction.denominator);
        break;
      case MetaType::Rect:
        ZuLogPrint(ZU_LOG_DEBUG, kTag, "(%s, rect:(%d, %d, %d, %d))", name, value.rect.left, value.rect.top,
                   value.rect.right, value.rect.bottom);
        break;
      case MetaType::Object:
        ZuLogPrint(ZU_LOG_DEBUG, kTag, "(%s, object:%p)", name, static_cast<const void*>(item->mObject.get()));
        break;
      default:
        ZuLogPrint(ZU_LOG_ERROR, kTag, "%s: Unknown item: %d", "Dump", static_cast<int>(item->mType));
        break;
    }
  }
}

}  // namespace osal
