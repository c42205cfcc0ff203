// propctl: the command-line tool of the property store (see --help).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/propctl/command_line.h"
#include "tools/propctl/exit_status.h"
#include "tools/propctl/library_log.h"

namespace {

// `status`, or kExitFile when standard output could not be written.
int CheckOutput(int status) {
  const bool flushed = fflush(stdout) == 0;
  if (flushed && ferror(stdout) == 0) return status;
  fprintf(stderr, "propctl: standard output: %s\n", flushed ? "write error" : strerror(errno));
  return kExitFile;
}

int Run(const CommandLine& line) {
  if (line.help) {
    fputs(kUsage, stdout);
    return kExitOk;
  }
  if (line.version) {
    printf("propctl %s\n", PROPCTL_VERSION);
    return kExitOk;
  }
  return line.command->run(line);
}

}  // namespace

int main(int argc, char** argv) {
  CommandLine line;
  std::string error;
  const bool parsed = ParseCommandLine(argc, argv, line, error);
  // Also before --help and the usage error: the library logs when it unloads.
  ShowLibraryLog(line.verbose);
  if (!parsed) {
    fprintf(stderr, "propctl: %s\nTry 'propctl --help'.\n", error.c_str());
    return kExitUsage;
  }
  return CheckOutput(Run(line));
}
