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
// there is neither. An empty key is a usage error. A file that cannot be
// read is reported and gives kExitFile, after the default when one is
// given.
int RunGet(const std::string& path, const std::vector<std::string>& args);

// set KEY VALUE: stores the pair and rewrites the file, which must exist
// (it is never created). kExitRefused, naming the broken rule, for a pair
// the library refuses; kExitFile, with the system's reason, when the file
// could not be written.
int RunSet(const std::string& path, const std::vector<std::string>& args);

// unset KEY: removes the pair of KEY through PropertyFile::Unset (the file
// is rewritten also when it holds no such pair). kExitRefused for a key no
// file can hold, kExitFile when the file could not be written.
int RunUnset(const std::string& path, const std::vector<std::string>& args);

// list [PREFIX]: every pair of the file whose key starts with PREFIX (all
// when none is given) as key=value, sorted by key, values whole. kExitFile
// when the file cannot be read (a directory included).
int RunList(const std::string& path, const std::vector<std::string>& args);

#endif  // TOOLS_PROPCTL_COMMANDS_H_
