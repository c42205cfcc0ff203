#include "osal/meta/media_ref_base.h"

namespace osal {

MediaRefBase::~MediaRefBase() = default;

}  // namespace osal
