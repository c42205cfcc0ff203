// Umbrella header: every public header of libproperty.
#ifndef PROPERTY_PROPERTY_H_
#define PROPERTY_PROPERTY_H_

#include "property/store/observer.h"

#endif  // PROPERTY_PROPERTY_H_
