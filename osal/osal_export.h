// Marks the symbols that libosal exports; everything else stays hidden.
#ifndef OSAL_OSAL_EXPORT_H_
#define OSAL_OSAL_EXPORT_H_

#define OSAL_EXPORT __attribute__((visibility("default")))

#endif  // OSAL_OSAL_EXPORT_H_
