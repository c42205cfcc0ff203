// The commands of propctl and their table.
//
// Every command works on the property file at `path` through a PropertyFile
// object of its own, prints its result on standard output and a one-line
// reason on standard error when it fails, and returns an ExitStatus.
#ifndef TOOLS_PROPCTL_COMMANDS_H_
#define TOOLS_PROPCTL_COMMANDS_H_

#include <cstddef>
#include <string>
#include <vector>

using CommandFn = int (*)(const std::string& path, const std::vector<std::string>& args);

struct Command {
  const char* name;
  size_t min_args;
  size_t max_args;
  CommandFn run;
};

// The command called `name`, or null.
const Command* FindCommand(const std::string& name);

// get KEY [DEFAULT]: the value as property_get gives it (a stored empty
// value counts as absent, values are cut to 91 characters). Prints the
// value or the default and a newline; kExitAbsent, printing nothing, when
// there is neither. An empty key is a usage error.
int RunGet(const std::string& path, const std::vector<std::string>& args);

// set KEY VALUE: stores the pair and rewrites the file, which must exist
// (it is never created). kExitRefused for a pair the library refuses,
// kExitFile when the file could not be written.
int RunSet(const std::string& path, const std::vector<std::string>& args);

// list: every pair of the file as key=value, sorted by key, values whole.
// kExitFile when the file cannot be read.
int RunList(const std::string& path, const std::vector<std::string>& args);

#endif  // TOOLS_PROPCTL_COMMANDS_H_
