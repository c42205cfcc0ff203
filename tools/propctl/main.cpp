// propctl: the command-line tool of the property store (see --help).
#include <cstdio>
#include <string>

#include "tools/propctl/command_line.h"
#include "tools/propctl/exit_status.h"
#include "tools/propctl/library_log.h"

int main(int argc, char** argv) {
  CommandLine line;
  std::string error;
  const bool parsed = ParseCommandLine(argc, argv, line, error);
  // Also before --help and the usage error: the library logs when it unloads.
  if (!line.verbose) SilenceLibraryLog();
  if (!parsed) {
    fprintf(stderr, "propctl: %s\nTry 'propctl --help'.\n", error.c_str());
    return kExitUsage;
  }
  if (line.help) {
    fputs(kUsage, stdout);
    return kExitOk;
  }
  if (line.version) {
    printf("propctl %s\n", PROPCTL_VERSION);
    return kExitOk;
  }
  return line.command->run(line.file, line.args);
}
