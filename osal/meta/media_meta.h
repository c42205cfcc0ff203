// MediaMeta: a typed key/value container for media metadata.
//
// Each entry maps a text key to one MetaItem holding exactly one value of one
// of sixteen kinds (MetaType). Keys are unique and kept in byte-wise
// ascending order; every operation that walks the container visits them in
// that order.
//
//   std::shared_ptr<osal::MediaMeta> meta = osal::MediaMeta::Create();
//   meta->SetInt32("width", 1920);
//   meta->SetString("mime", "video/avc");
//   int32_t width = 0;
//   if (meta->GetInt32("width", width)) { ... }
//
// Rules shared by the typed setters and getters:
//   - a null name is refused (false); any other text, the empty one included,
//     is a key;
//   - a setter never changes the kind of an existing entry: a value of
//     another kind is refused and the container stays unchanged;
//   - a setter for an existing entry of its kind writes the new value into
//     the same item, so every holder of that item sees it (see Copy);
//   - a getter succeeds only when the entry's kind is exactly the one it
//     reads, and leaves its out-parameters untouched when it fails.
//
// Ownership: items live behind std::shared_ptr<MetaItem> whose deleter is
// MetaItem::Destroy. Texts are owned copies (strdup/free), byte buffers owned
// copies (new[]/delete[]); pointers stored with SetPointer are never owned;
// objects stored with SetObject are shared.
//
// Thread safety: none inside. Callers serialise every use of one container,
// const operations included (Begin and End update remembered iterators).
// Different containers are independent; shared items and objects are
// reference-counted atomically, but their contents are not protected.
//
// Lifetime of returned pointers: a text from GetString or bytes from
// GetByteBuffer stay valid until that key's text is replaced by a different
// one, its buffer is set again, or the item is released.
#ifndef OSAL_META_MEDIA_META_H_
#define OSAL_META_MEDIA_META_H_

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "osal/meta/media_ref_base.h"
#include "osal/meta/meta_type.h"
#include "osal/osal_export.h"

namespace osal {

class MediaParam;

class OSAL_EXPORT MediaMeta : public MediaRefBase {
 public:
  // Base type of user objects stored with SetObject. The container never
  // calls into such an object; it only shares its ownership.
  class OSAL_EXPORT MetaBase {
   public:
    virtual ~MetaBase();
  };

  // An owned byte array: `size` bytes at `data`.
  struct ByteBuffer {
    uint64_t size;
    unsigned char* data;
  };

  struct Fraction {
    int32_t numerator;
    int32_t denominator;
  };

  // Four numbers kept in the order SetRect takes them; the container gives
  // them no meaning.
  struct Rect {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
  };

  // One value of one kind. Always held through a std::shared_ptr whose
  // deleter is Destroy; several containers (after Copy) and callers may hold
  // the same item. Once stored, its kind never changes.
  struct OSAL_EXPORT MetaItem {
    union Value {
      int8_t int8;
      int16_t int16;
      int32_t int32;
      int64_t int64;
      uint8_t uint8;
      uint16_t uint16;
      uint32_t uint32;
      uint64_t uint64;
      float float32;
      double float64;
      void* pointer;
      char* string;  // owned, from strdup; null when there is no text
      ByteBuffer buffer;  // owned `data`, from new[]; null data means none
      Fraction fraction;
      Rect rect;
    };

    MetaType mType = MetaType::None;
    // Zeroed at construction, so an item whose value was never set releases
    // nothing, whatever kind it is given.
    Value mValue{};
    std::shared_ptr<MetaBase> mObject;  // MetaType::Object only

    // Returns a new item of kind None, owned by a shared pointer whose
    // deleter is Destroy. Throws std::bad_alloc; a half-built item is
    // released first.
    static std::shared_ptr<MetaItem> Create();

    // The deleter: releases what the item owns by its kind (text, bytes,
    // object reference), then deletes it. A null item is ignored.
    static void Destroy(MetaItem* item);
  };

  // Orders keys byte-wise, as std::string does, and finds a NUL-terminated
  // name without measuring it first. Keys never hold a NUL: every key comes
  // from a NUL-terminated name.
  struct KeyLess {
    using is_transparent = void;
    bool operator()(const std::string& a, const std::string& b) const { return a < b; }
    bool operator()(const std::string& a, const char* b) const { return strcmp(a.c_str(), b) < 0; }
    bool operator()(const char* a, const std::string& b) const { return strcmp(a, b.c_str()) < 0; }
  };
  using ItemMap = std::map<std::string, std::shared_ptr<MetaItem>, KeyLess>;

  // A read-only position in a container, visiting entries in key order:
  //
  //   for (auto it = meta->Begin(); it != meta->End(); ++it) {
  //     const std::string& key = (*it).Key();
  //     const std::shared_ptr<MediaMeta::MetaItem>& item = (*it).Value();
  //   }
  //
  // Owns nothing; valid while the entry it points at exists and the
  // container lives. Setters do not disturb it; Destroy() invalidates every
  // iterator not at End(). Copyable; the copy holds the same position.
  class OSAL_EXPORT ConstIterator {
   public:
    // An iterator at `position` of `items`, which must outlive it.
    ConstIterator(const ItemMap& items, ItemMap::const_iterator position);
    ConstIterator(const ConstIterator&) = default;
    ConstIterator& operator=(const ConstIterator&) = default;
    ~ConstIterator() = default;

    // Moves to the next entry; returns this iterator. At End() it stays.
    ConstIterator& operator++();
    // Moves to the next entry like the prefix form and returns a copy at the
    // new position, not at the old one.
    ConstIterator operator++(int);
    // Returns this iterator, so that (*it).Key() reads the current entry.
    ConstIterator& operator*();

    // The current key, the map's own string; an empty string at End().
    const std::string& Key() const;
    // The current item reference, the map's own pointer (copy it to keep the
    // item alive); an empty pointer at End().
    const std::shared_ptr<MetaItem>& Value() const;

    // Compare positions only.
    bool operator==(const ConstIterator& other) const;
    bool operator!=(const ConstIterator& other) const;

   private:
    const ItemMap* mItems;
    ItemMap::const_iterator mPosition;
  };

  MediaMeta();
  // Duplicated only through Copy(): the remembered iterators are unique.
  MediaMeta(const MediaMeta&) = delete;
  MediaMeta& operator=(const MediaMeta&) = delete;
  ~MediaMeta() override;

  // Returns a new, empty container. Throws std::bad_alloc.
  static std::shared_ptr<MediaMeta> Create();

  // Removes every entry. Items also held elsewhere survive. The container
  // stays usable.
  void Destroy();

  // True when an entry named `name` exists, whatever its kind; false for a
  // null name.
  bool ContainsKey(const char* name) const;

  // Typed setters: true when stored, false when refused (see the rules at
  // the top of this file).
  bool SetInt8(const char* name, int8_t value);
  bool SetInt16(const char* name, int16_t value);
  bool SetInt32(const char* name, int32_t value);
  bool SetInt64(const char* name, int64_t value);
  bool SetUint8(const char* name, uint8_t value);
  bool SetUint16(const char* name, uint16_t value);
  bool SetUint32(const char* name, uint32_t value);
  bool SetUint64(const char* name, uint64_t value);
  bool SetFloat(const char* name, float value);
  bool SetDouble(const char* name, double value);
  // Stores the address only; the pointee is never owned. Null is accepted.
  bool SetPointer(const char* name, void* value);
  // Stores a duplicate of `text`; refuses a null text. Setting the text a key
  // already holds changes nothing (the stored pointer stays). False, with an
  // error line, when the duplicate cannot be made; the container is then
  // unchanged.
  bool SetString(const char* name, const char* text);
  // Stores a copy of `buffer.size` bytes at `buffer.data`; refuses, with an
  // error line, a null name, null data or size 0. The bytes may be the
  // key's own current buffer.
  bool SetByteBuffer(const char* name, ByteBuffer buffer);
  bool SetByteBuffer(const char* name, unsigned char* data, unsigned long size);
  // Refuses a denominator of 0.
  bool SetFraction(const char* name, Fraction value);
  bool SetFraction(const char* name, int numerator, int denominator);
  bool SetRect(const char* name, Rect value);
  bool SetRect(const char* name, int left, int top, int right, int bottom);
  // Shares `object` (an empty pointer is accepted); an existing entry drops
  // its old reference.
  bool SetObject(const char* name, const std::shared_ptr<MetaBase>& object);

  // Typed getters: true and the value when the entry exists with exactly
  // this kind; false and the out-parameters untouched otherwise.
  bool GetInt8(const char* name, int8_t& value) const;
  bool GetInt16(const char* name, int16_t& value) const;
  bool GetInt32(const char* name, int32_t& value) const;
  bool GetInt64(const char* name, int64_t& value) const;
  bool GetUint8(const char* name, uint8_t& value) const;
  bool GetUint16(const char* name, uint16_t& value) const;
  bool GetUint32(const char* name, uint32_t& value) const;
  bool GetUint64(const char* name, uint64_t& value) const;
  bool GetFloat(const char* name, float& value) const;
  bool GetDouble(const char* name, double& value) const;
  bool GetPointer(const char* name, void*& value) const;
  // The item's own text (no copy).
  bool GetString(const char* name, const char*& text) const;
  // The item's own bytes (no copy) and their size.
  bool GetByteBuffer(const char* name, ByteBuffer& buffer) const;
  // As above, with the size narrowed to its low 32 bits.
  bool GetByteBuffer(const char* name, unsigned char*& data, int& size) const;
  bool GetFraction(const char* name, Fraction& value) const;
  bool GetFraction(const char* name, int& numerator, int& denominator) const;
  bool GetRect(const char* name, Rect& value) const;
  bool GetRect(const char* name, int& left, int& top, int& right, int& bottom) const;
  // A copy of the held reference, possibly empty.
  bool GetObject(const char* name, std::shared_ptr<MetaBase>& object) const;

  // Iterator at the first entry (equal to End() when empty) / past the last
  // one: a copy of the remembered iterator, which is replaced when the first
  // (end) position moved. Const, but they update the remembered iterators,
  // so they need the same serialisation as the setters.
  ConstIterator Begin() const;
  ConstIterator End() const;

  // A new container with the same keys, in the same order: texts and byte
  // buffers are copied into items of the copy's own, every other item is
  // shared with this container, so a later set of a shared key (same kind)
  // in either container shows in both. A text or buffer item holding
  // nothing gets an empty item of its own kind in the copy. An empty pointer
  // (with an error line) when a text or buffer cannot be copied; an empty
  // container copies to a new empty one.
  std::shared_ptr<MediaMeta> Copy() const;

  // Sets every entry of `other` into this container through the setter of
  // its kind, in key order; texts and bytes are copied, objects shared, and
  // `other` is left unchanged. Int32, Int64, Float, Double, Pointer, String,
  // ByteBuffer, Fraction, Rect and Object entries are carried; an entry of
  // any other kind (None, the 8- and 16-bit integers, the unsigned ones) is
  // skipped with an error line. Returns false (with an error line) at the
  // first entry a setter refuses: a key already held with another kind, or
  // a text or buffer item holding nothing; entries set before it stay,
  // later ones are not visited. False, with nothing logged, for an empty
  // pointer. True otherwise; merging a container into itself returns true
  // and changes nothing.
  bool Merge(std::shared_ptr<MediaMeta> other);

  // Writes a header line, then one line per entry in key order, to the log
  // at debug level under the tag "MediaMeta"; an entry of a kind it does not
  // print (the 8- and 16-bit integers, the unsigned ones, unknown numbers)
  // gets an error line instead. A text item holding nothing prints as
  // "(null)".
  void Dump() const;

  // Appends the container to `param`: the entry count, then kind, key and
  // value of each entry. False when `param` is null or an entry's kind
  // cannot travel (the entry is still counted, with its kind and key).
  bool WriteToMediaParam(MediaParam* param);

  // Reads one block written by WriteToMediaParam and enters its entries,
  // replacing entries of the same key whatever their kind (in place, so
  // iterators at them stay valid). An entry whose value did not travel (a
  // kind that cannot, a missing text) is left out, and an existing entry of
  // its key stays. False when `param` is null, or such an entry was met, or
  // a key is missing (the block is then broken off).
  bool ReadFromMediaParam(const MediaParam* param);

 private:
  template <typename T>
  bool SetValue(const char* name, const T& value);
  template <typename T>
  bool GetValue(const char* name, T& value) const;
  // The item under `name` if it has kind `type`, else null. Inline: it is
  // the whole of every getter.
  const MetaItem* Find(const char* name, MetaType type) const {
    if (name == nullptr) return nullptr;
    auto it = mItems.find(name);
    if (it == mItems.end() || it->second->mType != type) return nullptr;
    return it->second.get();
  }

  ItemMap mItems;
  // Last iterator Begin() handed out. Entries are only ever erased all
  // together, by Destroy(), which drops it, so it never dangles.
  mutable std::unique_ptr<ConstIterator> mBegin;
  mutable std::unique_ptr<ConstIterator> mEnd;  // last iterator End() handed out
};

}  // namespace osal

#endif  // OSAL_META_MEDIA_META_H_
