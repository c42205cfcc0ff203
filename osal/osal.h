// Umbrella header: every public header of libosal.
#ifndef OSAL_OSAL_H_
#define OSAL_OSAL_H_

#include "osal/memory/backtrace.h"
#include "osal/memory/memfd_region.h"
#include "osal/meta/media_meta.h"
#include "osal/meta/media_ref_base.h"
#include "osal/meta/meta_type.h"
#include "osal/osal_export.h"
#include "osal/param/media_param.h"

#endif  // OSAL_OSAL_H_
