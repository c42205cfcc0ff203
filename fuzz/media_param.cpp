// Drives three parcels and two metadata containers with an arbitrary
// sequence of writes, reads (of any width, in either form), copies (onto
// itself, from null, from a parcel without a buffer), and metadata blocks
// written, crafted and read back. Each parcel is shadowed by a model of what
// it must hold; a parcel touched by the metadata operations is no longer
// followed until a copy gives it known content again.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "osal/meta/media_meta.h"
#include "osal/param/media_param.h"
#include "platform/log/zu_log.h"

namespace {

using osal::MediaMeta;
using osal::MediaParam;
using osal::MediaRefBase;

constexpr size_t kParcels = 3;
constexpr size_t kMetas = 2;

void Check(bool condition) {
  if (!condition) abort();
}

// What a parcel must hold, as seen through its public operations.
struct Model {
  bool followed = true;
  bool hasBuffer = true;
  std::vector<uint8_t> bytes;  // written so far
  size_t readPos = 0;
  std::vector<std::string> strings;
  size_t stringIndex = 0;
  std::vector<std::shared_ptr<MediaRefBase>> pointers;
  size_t pointerIndex = 0;

  bool Fits(size_t size) const { return hasBuffer && bytes.size() + size <= MediaParam::kCapacity; }
  bool CanRead(size_t size) const { return bytes.size() - readPos >= size; }
};

struct World {
  std::unique_ptr<MediaParam> parcels[kParcels];
  Model models[kParcels];
  std::shared_ptr<MediaMeta> metas[kMetas];
  std::shared_ptr<MediaRefBase> objects[2] = {std::make_shared<MediaRefBase>(), nullptr};
};

struct Object : MediaMeta::MetaBase {};

template <typename T>
void WriteFixed(MediaParam& parcel, Model& model, T value, int (MediaParam::*write)(T)) {
  const int result = (parcel.*write)(value);
  if (!model.followed) return;
  Check(result == (model.Fits(sizeof(T)) ? 0 : -1));
  if (result != 0) return;
  const auto* bytes = reinterpret_cast<const uint8_t*>(&value);
  model.bytes.insert(model.bytes.end(), bytes, bytes + sizeof(T));
}

template <typename T>
void ReadFixed(const MediaParam& parcel, Model& model, bool pointerForm, int (MediaParam::*read)(T*) const,
               T (MediaParam::*readValue)() const) {
  T value;
  memset(&value, 0xA5, sizeof(value));
  T untouched = value;
  int result = 0;
  if (pointerForm) {
    result = (parcel.*read)(&value);
  } else {
    value = (parcel.*readValue)();
    memset(&untouched, 0, sizeof(untouched));
  }
  if (!model.followed) return;
  if (!model.CanRead(sizeof(T))) {
    Check(result == (pointerForm ? -1 : 0));
    Check(memcmp(&value, &untouched, sizeof(T)) == 0);
    return;
  }
  Check(result == 0);
  Check(memcmp(&value, model.bytes.data() + model.readPos, sizeof(T)) == 0);
  model.readPos += sizeof(T);
}

void CopyModel(Model& target, const Model* source, bool self) {
  if (source == nullptr || self) return;
  if (!source->hasBuffer) {
    // The target loses its buffer; its strings and references stay.
    target.hasBuffer = false;
    target.bytes.clear();
    target.readPos = 0;
    return;
  }
  target = *source;
  target.readPos = 0;
  target.stringIndex = 0;
  target.pointerIndex = 0;
}

void ReadString(const MediaParam& parcel, Model& model) {
  const char* text = parcel.ReadString();
  if (!model.followed) return;
  if (model.stringIndex == model.strings.size()) {
    Check(text == nullptr);
    return;
  }
  Check(text != nullptr && model.strings[model.stringIndex++] == text);
}

void ReadPointer(const MediaParam& parcel, Model& model) {
  std::shared_ptr<MediaRefBase> ref = parcel.ReadPointer();
  if (!model.followed) return;
  if (model.pointerIndex == model.pointers.size()) {
    Check(ref == nullptr);
    return;
  }
  Check(ref == model.pointers[model.pointerIndex++]);
}

// A metadata block with arbitrary kinds, keys, texts and value words.
void CraftBlock(FuzzedDataProvider& data, MediaParam& parcel) {
  const int32_t count = data.ConsumeIntegralInRange<int32_t>(-2, 8);
  parcel.WriteInt32(count);
  for (int32_t i = 0; i < count && data.remaining_bytes() > 0; ++i) {
    parcel.WriteInt32(data.ConsumeIntegralInRange<int32_t>(-1, 17));
    if (data.ConsumeBool()) parcel.WriteString(data.ConsumeRandomLengthString(8).c_str());
    const int words = data.ConsumeIntegralInRange(0, 4);
    for (int w = 0; w < words; ++w) parcel.WriteInt32(data.ConsumeIntegral<int32_t>());
    if (data.ConsumeBool()) parcel.WriteString(data.ConsumeRandomLengthString(8).c_str());
  }
}

void SetEntry(FuzzedDataProvider& data, MediaMeta& meta) {
  const std::string key = data.ConsumeRandomLengthString(6);
  const char* name = key.c_str();
  switch (data.ConsumeIntegralInRange(0, 11)) {
    case 0: meta.SetInt32(name, data.ConsumeIntegral<int32_t>()); break;
    case 1: meta.SetInt64(name, data.ConsumeIntegral<int64_t>()); break;
    case 2: meta.SetFloat(name, data.ConsumeFloatingPoint<float>()); break;
    case 3: meta.SetDouble(name, data.ConsumeFloatingPoint<double>()); break;
    case 4: meta.SetPointer(name, reinterpret_cast<void*>(data.ConsumeIntegral<uintptr_t>())); break;
    case 5: meta.SetString(name, data.ConsumeRandomLengthString(16).c_str()); break;
    case 6: meta.SetFraction(name, data.ConsumeIntegral<int32_t>(), data.ConsumeIntegral<int32_t>()); break;
    case 7: meta.SetRect(name, data.ConsumeIntegral<int32_t>(), 2, 3, data.ConsumeIntegral<int32_t>()); break;
    case 8: {
      std::string bytes = data.ConsumeRandomLengthString(8);
      meta.SetByteBuffer(name, reinterpret_cast<unsigned char*>(bytes.data()), bytes.size());
      break;
    }
    case 9: meta.SetObject(name, std::make_shared<Object>()); break;
    case 10: meta.SetUint8(name, data.ConsumeIntegral<uint8_t>()); break;
    default: meta.SetUint64(name, data.ConsumeIntegral<uint64_t>()); break;
  }
}

void Step(FuzzedDataProvider& data, World& world) {
  const size_t i = data.ConsumeIntegralInRange<size_t>(0, kParcels - 1);
  const size_t j = data.ConsumeIntegralInRange<size_t>(0, kParcels - 1);
  MediaParam& parcel = *world.parcels[i];
  Model& model = world.models[i];
  MediaMeta& meta = *world.metas[data.ConsumeIntegralInRange<size_t>(0, kMetas - 1)];
  const bool pointerForm = data.ConsumeBool();
  switch (data.ConsumeIntegralInRange(0, 22)) {
    case 0: WriteFixed(parcel, model, data.ConsumeIntegral<int32_t>(), &MediaParam::WriteInt32); break;
    case 1: WriteFixed(parcel, model, data.ConsumeIntegral<int64_t>(), &MediaParam::WriteInt64); break;
    case 2: WriteFixed(parcel, model, data.ConsumeFloatingPoint<float>(), &MediaParam::WriteFloat); break;
    case 3: WriteFixed(parcel, model, data.ConsumeFloatingPoint<double>(), &MediaParam::WriteDouble); break;
    case 4: {
      auto* address = reinterpret_cast<const uint8_t*>(data.ConsumeIntegral<uintptr_t>());
      WriteFixed(parcel, model, address, &MediaParam::WriteRawPointer);
      break;
    }
    case 5: {
      // Many values at once, to reach the end of the buffer.
      const auto count = data.ConsumeIntegralInRange<size_t>(0, MediaParam::kCapacity / 4 + 2);
      const auto value = data.ConsumeIntegral<int32_t>();
      for (size_t n = 0; n < count; ++n) WriteFixed(parcel, model, value, &MediaParam::WriteInt32);
      break;
    }
    case 6: ReadFixed(parcel, model, pointerForm, &MediaParam::ReadInt32, &MediaParam::ReadInt32); break;
    case 7: ReadFixed(parcel, model, pointerForm, &MediaParam::ReadInt64, &MediaParam::ReadInt64); break;
    case 8: ReadFixed(parcel, model, pointerForm, &MediaParam::ReadFloat, &MediaParam::ReadFloat); break;
    case 9: ReadFixed(parcel, model, pointerForm, &MediaParam::ReadDouble, &MediaParam::ReadDouble); break;
    case 10:
      ReadFixed(parcel, model, pointerForm, &MediaParam::ReadRawPointer, &MediaParam::ReadRawPointer);
      break;
    case 11: {
      const std::string text = data.ConsumeRandomLengthString(32);
      Check(parcel.WriteString(text.c_str()) == 0);
      model.strings.emplace_back(text.c_str());
      break;
    }
    case 12: {
      const auto& ref = world.objects[data.ConsumeIntegralInRange(0, 1)];
      Check(parcel.WritePointer(ref) == 0);
      model.pointers.push_back(ref);
      break;
    }
    case 13: ReadString(parcel, model); break;
    case 14: ReadPointer(parcel, model); break;
    case 15: {
      const bool fromNull = data.ConsumeBool();
      const MediaParam* source = fromNull ? nullptr : world.parcels[j].get();
      if (data.ConsumeBool() || fromNull) {
        parcel.Copy(source);
      } else {
        parcel = *source;
      }
      CopyModel(model, fromNull ? nullptr : &world.models[j], i == j);
      break;
    }
    case 16: {
      // A new parcel in place of this one: from null, or copied from another.
      const bool fromNull = data.ConsumeBool() || i == j;
      auto fresh = fromNull ? std::make_unique<MediaParam>(static_cast<const MediaParam*>(nullptr))
                            : std::make_unique<MediaParam>(*world.parcels[j]);
      Model freshModel;
      freshModel.hasBuffer = false;
      CopyModel(freshModel, fromNull ? nullptr : &world.models[j], false);
      world.parcels[i] = std::move(fresh);
      model = freshModel;
      break;
    }
    case 17: world.parcels[i] = std::make_unique<MediaParam>(); model = Model(); break;
    case 18: meta.WriteToMediaParam(&parcel); model.followed = false; break;
    case 19: meta.ReadFromMediaParam(&parcel); model.followed = false; break;
    case 20: CraftBlock(data, parcel); model.followed = false; break;
    case 21: SetEntry(data, meta); break;
    default:
      Check(!meta.WriteToMediaParam(nullptr) && !meta.ReadFromMediaParam(nullptr));
      if (data.ConsumeBool()) meta.Destroy();
      break;
  }
}

void DropLine(int, const char*, const char*, void*) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  // Every line is formatted, none is printed.
  ZuLogSetLevel(ZU_LOG_VERBOSE);
  ZuLogSetSink(&DropLine, nullptr);
  FuzzedDataProvider data(bytes, size);
  World world;
  for (auto& parcel : world.parcels) parcel = std::make_unique<MediaParam>();
  for (auto& meta : world.metas) meta = MediaMeta::Create();
  while (data.remaining_bytes() > 0) Step(data, world);
  return 0;
}
