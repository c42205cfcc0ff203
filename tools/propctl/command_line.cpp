#include "tools/propctl/command_line.h"

#include <cstring>

const char kUsage[] =
    "Usage: propctl [-v] [-f PATH] COMMAND [ARG...]\n"
    "Reads and changes the properties in /etc/j-config/mj-gralloc.cfg.\n"
    "\n"
    "Commands:\n"
    "  get KEY [DEFAULT]  print the value of KEY, or DEFAULT when it has none\n"
    "  set KEY VALUE      store VALUE under KEY (the file must exist)\n"
    "  list               print every pair as key=value, sorted by key\n"
    "  watch [KEY...]     print key=value whenever a watched key (all keys when\n"
    "                     none are named) changes value, and -key when it is\n"
    "                     removed, until interrupted\n"
    "  wait KEY VALUE [--timeout SECONDS]\n"
    "                     return once KEY holds VALUE; exit status 1 when\n"
    "                     SECONDS passed first\n"
    "\n"
    "Options:\n"
    "  -f, --file PATH    work on the property file PATH instead\n"
    "  -v, --verbose      show the libraries' log lines on standard error\n"
    "  -h, --help         show this help\n"
    "      --version      show the version\n"
    "\n"
    "Exit status: 0 done; 1 get found no value and no default was given, or\n"
    "wait timed out;\n"
    "2 bad command line; 3 set refused the key or value; 4 the file could not\n"
    "be read, written or watched.\n";

namespace {

bool IsOption(const char* arg, const char* short_name, const char* long_name) {
  return strcmp(arg, short_name) == 0 || strcmp(arg, long_name) == 0;
}

// Takes the option argv[i] and, for -f, its value (advancing i).
bool TakeOption(int argc, const char* const* argv, int& i, CommandLine& line, std::string& error) {
  const char* option = argv[i];
  if (IsOption(option, "-h", "--help")) {
    line.help = true;
  } else if (strcmp(option, "--version") == 0) {
    line.version = true;
  } else if (IsOption(option, "-v", "--verbose")) {
    line.verbose = true;
  } else if (IsOption(option, "-f", "--file")) {
    if (++i == argc) {
      error = std::string(option) + " needs a path";
      return false;
    }
    line.file = argv[i];
  } else if (strncmp(option, "--file=", 7) == 0) {
    line.file = option + 7;
  } else {
    error = std::string("unknown option ") + option;
    return false;
  }
  if (line.file.empty()) {
    error = "the file path is empty";
    return false;
  }
  return true;
}

bool CheckArgumentCount(const CommandLine& line, std::string& error) {
  const size_t count = line.args.size();
  if (count >= line.command->min_args && count <= line.command->max_args) return true;
  error = std::string("wrong number of arguments for ") + line.command->name;
  return false;
}

}  // namespace

bool ParseCommandLine(int argc, const char* const* argv, CommandLine& line, std::string& error) {
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    if (strcmp(argv[i], "--") == 0) {
      ++i;
      break;
    }
    if (!TakeOption(argc, argv, i, line, error)) return false;
    if (line.help || line.version) return true;
  }
  if (i == argc) {
    error = "no command given";
    return false;
  }
  line.command = FindCommand(argv[i]);
  if (line.command == nullptr) {
    error = std::string("unknown command ") + argv[i];
    return false;
  }
  line.args.assign(argv + i + 1, argv + argc);
  return CheckArgumentCount(line, error);
}
