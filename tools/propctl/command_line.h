// The command line of propctl:
//
//   propctl [-v] [-f PATH] COMMAND [ARG...]
//   propctl [-v] [-f PATH] wait KEY VALUE [--timeout SECONDS]
//   propctl --help | --version
//
// Options may stand anywhere, short ones bundled ("-vf PATH", "-fPATH");
// "--" ends them, so that a value starting with '-' follows it. A lone "-"
// is an argument.
#ifndef TOOLS_PROPCTL_COMMAND_LINE_H_
#define TOOLS_PROPCTL_COMMAND_LINE_H_

#include <optional>
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
  std::optional<std::string> timeout;     // --timeout's value, as given
};

// Fills `line` from argv; --help or --version ends the parsing. Returns
// false, with a one-line `error`, for an unknown option, an option without
// its value, an empty path, an unknown or missing command, a wrong number
// of arguments for the command, or --timeout with a command other than
// wait.
bool ParseCommandLine(int argc, const char* const* argv, CommandLine& line, std::string& error);

// The help text (--help), ending in a newline.
extern const char kUsage[];

#endif  // TOOLS_PROPCTL_COMMAND_LINE_H_
