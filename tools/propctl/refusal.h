// Which rule a refused pair breaks, in words a user can act on.
#ifndef TOOLS_PROPCTL_REFUSAL_H_
#define TOOLS_PROPCTL_REFUSAL_H_

#include <string>

// The rule of the property file that `key` = `value` breaks, naming the
// character and the end ("the value ends with a tab"), or "" when it breaks
// none. The library refuses exactly these pairs; its own log line stays
// shorter.
std::string BrokenRule(const std::string& key, const std::string& value);

#endif  // TOOLS_PROPCTL_REFUSAL_H_
