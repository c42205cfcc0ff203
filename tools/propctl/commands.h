// The commands of propctl and their table.
//
// Every command works on the property file of the command line (`line.file`)
// through a PropertyFile object of its own, takes its arguments from
// `line.args`, prints its result on standard output and a one-line reason on
// standard error when it fails, and returns an ExitStatus.
#ifndef TOOLS_PROPCTL_COMMANDS_H_
#define TOOLS_PROPCTL_COMMANDS_H_

#include <cstddef>
#include <string>

struct CommandLine;
using CommandFn = int (*)(const CommandLine& line);

struct Command {
  const char* name;
  size_t min_args;
  size_t max_args;
  CommandFn run;
  bool timed = false;  // takes --timeout
};

// The command called `name`, or null.
const Command* FindCommand(const std::string& name);

// get KEY [DEFAULT]: the value as property_get gives it (a stored empty
// value counts as absent, values are cut to 91 characters). Prints the
// value or the default and a newline; kExitAbsent, printing nothing, when
// there is neither. An empty key is a usage error. A file the library
// cannot read (as for list) is reported and gives kExitFile, after the
// default when one is given.
int RunGet(const CommandLine& line);

// set KEY VALUE: stores the pair and rewrites the file, which must exist
// (it is never created). kExitRefused, naming the broken rule, for a pair
// the library refuses; kExitFile, with the system's reason, when the file
// could not be written.
int RunSet(const CommandLine& line);

// unset KEY: removes the pair of KEY through PropertyFile::Unset (the file
// is rewritten also when it holds no such pair). kExitRefused for a key no
// file can hold, kExitFile when the file could not be written.
int RunUnset(const CommandLine& line);

// list [PREFIX]: every pair of the file whose key starts with PREFIX (all
// when none is given) as key=value, sorted by key, values whole. kExitFile
// when the library cannot read the file: it is missing, unreadable or no
// regular file (a directory, a FIFO, a device).
int RunList(const CommandLine& line);

#endif  // TOOLS_PROPCTL_COMMANDS_H_
