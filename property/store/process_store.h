// The process-wide store behind property_get / property_set: the one
// PropertyFile of the fixed path, for the library's own use (the watch API
// and the exported functions). Not exported.
//
// Lifetime: created on first use and never destroyed while the process may
// still call into the library; see property_api.cpp.
#ifndef PROPERTY_STORE_PROCESS_STORE_H_
#define PROPERTY_STORE_PROCESS_STORE_H_

#include "property/store/property_file.h"

// The path property_get and property_set work on.
inline constexpr char kPropertyConfigFile[] = "/etc/j-config/mj-gralloc.cfg";

// The process-wide PropertyFile of kPropertyConfigFile.
PropertyFile& ProcessStore();

#endif  // PROPERTY_STORE_PROCESS_STORE_H_
