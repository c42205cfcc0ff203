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
#include "osal/thread/msg_handler.h"
#include "osal/thread/msg_queue.h"
#include "osal/thread/thread.h"
#include "osal/thread/thread_utils.h"

#endif  // OSAL_OSAL_H_
