// Umbrella header: every public header of libproperty.
#ifndef PROPERTY_PROPERTY_H_
#define PROPERTY_PROPERTY_H_

#include "property/handler/handler.h"
#include "property/handler/message.h"
#include "property/store/inotify_watch_property.h"
#include "property/store/observer.h"
#include "property/store/property_api.h"
#include "property/store/property_file.h"
#include "property/store/property_watch.h"
#include "property/store/scoped_property_watch.h"

#endif  // PROPERTY_PROPERTY_H_
