// The command line of propctl:
//
//   propctl [-v] [-f PATH] COMMAND [ARG...]
//   propctl --help | --version
//
// Options may stand anywhere, short ones bundled ("-vf PATH", "-fPATH");
// "--" ends them, so that a value starting with '-' follows it. A lone "-"
// is an argument.
#ifndef TOOLS_PROPCTL_COMMAND_LINE_H_
#define TOOLS_PROPCTL_COMMAND_LINE_H_

#include <string>
#include <vector>

#include "tools/propctl/commands.h"

// The file the library's property_get / property_set work on.
inline constexpr char kDefaultPropertyFile[] = "/etc/j-config/mj-gralloc.cfg";

struct CommandLine {
  bool help = false;
  bool version = false;
  bool verbose = false;                   // show the libraries' log lines
  std::string file = kDefaultPropertyFile;
  const Command* command = nullptr;       // set unless help or version
  std::vector<std::string> args;          // the command's arguments
};

// Fills `line` from argv; --help or --version ends the parsing. Returns
// false, with a one-line `error`, for an unknown option, an option without
// its path, an empty path, an unknown or missing command, or a wrong number
// of arguments for the command.
bool ParseCommandLine(int argc, const char* const* argv, CommandLine& line, std::string& error);

// The help text (--help), ending in a newline.
extern const char kUsage[];

#endif  // TOOLS_PROPCTL_COMMAND_LINE_H_
