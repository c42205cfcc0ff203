// Marks the symbols that libproperty exports; everything else stays hidden.
#ifndef PROPERTY_PROPERTY_EXPORT_H_
#define PROPERTY_PROPERTY_EXPORT_H_

#define PROPERTY_EXPORT __attribute__((visibility("default")))

#endif  // PROPERTY_PROPERTY_EXPORT_H_
