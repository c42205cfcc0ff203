// MetaType: the kind of a metadata item.
//
// The numbers are fixed: they are written onto parcels and printed in log
// lines, so an enumerator never changes its value.
#ifndef OSAL_META_META_TYPE_H_
#define OSAL_META_META_TYPE_H_

#include <cstdint>

namespace osal {

enum class MetaType : uint32_t {
  None = 0,
  Int8 = 1,
  Int16 = 2,
  Int32 = 3,
  Int64 = 4,
  Uint8 = 5,
  Uint16 = 6,
  Uint32 = 7,
  Uint64 = 8,
  Float = 9,
  Double = 10,
  Pointer = 11,
  String = 12,
  ByteBuffer = 13,
  Fraction = 14,
  Rect = 15,
  Object = 16,
};

}  // namespace osal

#endif  // OSAL_META_META_TYPE_H_
