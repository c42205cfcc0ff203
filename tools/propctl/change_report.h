// What changed between two readings of a property file, as watch prints it.
#ifndef TOOLS_PROPCTL_CHANGE_REPORT_H_
#define TOOLS_PROPCTL_CHANGE_REPORT_H_

#include <set>
#include <string>
#include <vector>

#include "property/store/property_file.h"

// One line per watched key (every key when `keys` is empty) whose value
// differs between `before` and `after`, sorted by key: "key=value" for a
// key that is new or has a new value, "-key" for a key that is gone. Keys
// read from a file never hold '=', so a line without '=' is a removal.
std::vector<std::string> DescribeChanges(const PropertyFile::PropertyMap& before,
                                         const PropertyFile::PropertyMap& after,
                                         const std::set<std::string>& keys);

#endif  // TOOLS_PROPCTL_CHANGE_REPORT_H_
