// MediaRefBase: the root of objects that travel on a MediaParam by shared
// reference.
//
// Its only virtual operation is the destructor, so that the last holder of a
// std::shared_ptr<MediaRefBase> deletes the object as its most derived type.
// Nothing in the library ever calls into such an object.
#ifndef OSAL_META_MEDIA_REF_BASE_H_
#define OSAL_META_MEDIA_REF_BASE_H_

#include "osal/osal_export.h"

namespace osal {

class OSAL_EXPORT MediaRefBase {
 public:
  MediaRefBase() = default;
  MediaRefBase(const MediaRefBase&) = default;
  MediaRefBase& operator=(const MediaRefBase&) = default;
  virtual ~MediaRefBase();
};

}  // namespace osal

#endif  // OSAL_META_MEDIA_REF_BASE_H_
