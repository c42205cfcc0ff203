#include "tools/propctl/command_line.h"

#include <cstring>

const char kUsage[] =
    "Usage: propctl [-v] [-f PATH] COMMAND [ARG...]\n"
    "Reads and changes the properties in /etc/j-config/mj-gralloc.cfg.\n"
    "\n"
    "Commands:\n"
    "  get KEY [DEFAULT]  print the value of KEY, or DEFAULT when it has none\n"
    "  set KEY VALUE      store VALUE under KEY (the file must exist)\n"
    "  unset KEY          remove the pair of KEY from the file\n"
    "  list [PREFIX]      print every pair (whose key starts with PREFIX) as\n"
    "                     key=value, sorted by key\n"
    "  watch [KEY...]     print key=value whenever a watched key (all keys when\n"
    "                     none are named) changes value, and -key when it is\n"
    "                     removed, until interrupted\n"
    "  wait KEY VALUE [--timeout SECONDS]\n"
    "                     return once KEY holds VALUE; exit status 1 when\n"
    "                     SECONDS passed first\n"
    "\n"
    "Options, accepted anywhere; \"--\" ends them (use it before a value that\n"
    "starts with '-'):\n"
    "  -f, --file PATH    work on the property file PATH instead\n"
    "  -v, --verbose      show the libraries' log lines on standard error\n"
    "  -h, --help         show this help\n"
    "      --version      show the version\n"
    "      --timeout SECONDS  (wait) give up after SECONDS, a decimal number\n"
    "\n"
    "set and unset rewrite the whole file: comment and other lines that are\n"
    "not pairs stay in their order at the top, every pair follows them sorted\n"
    "by key as key=value; a comment after a pair on its line and all but the\n"
    "last pair of a repeated key are dropped.\n"
    "\n"
    "Exit status: 0 done; 1 get found no value and no default was given, or\n"
    "wait timed out; 2 bad command line; 3 set or unset refused the key or\n"
    "value; 4 the file could not be read, written or watched, or standard\n"
    "output not written. get on a missing or unreadable file says so and\n"
    "exits 4, after printing DEFAULT when one is given.\n";

namespace {

// "--NAME VALUE" or "--NAME=VALUE" into `value` (advancing i past a
// separate VALUE); false when `option` is no such option.
bool TakeLongValue(const char* option, const char* name, int argc, const char* const* argv, int& i,
                   std::string& value, std::string& error) {
  const size_t length = strlen(name);
  if (strncmp(option, name, length) != 0) return false;
  if (option[length] == '=') {
    value = option + length + 1;
  } else if (option[length] != '\0') {
    return false;
  } else if (++i == argc) {
    error = std::string(name) + " needs a value";
  } else {
    value = argv[i];
  }
  return true;
}

bool TakeLongOption(const char* option, int argc, const char* const* argv, int& i, CommandLine& line,
                    std::string& error) {
  std::string timeout;
  if (strcmp(option, "--help") == 0) {
    line.help = true;
  } else if (strcmp(option, "--version") == 0) {
    line.version = true;
  } else if (strcmp(option, "--verbose") == 0) {
    line.verbose = true;
  } else if (TakeLongValue(option, "--file", argc, argv, i, line.file, error)) {
  } else if (TakeLongValue(option, "--timeout", argc, argv, i, timeout, error)) {
    line.timeout = timeout;
  } else {
    error = std::string("unknown option ") + option;
  }
  return error.empty();
}

// A bundle of short options: "-v", "-vf PATH", "-fPATH".
bool TakeShortOptions(const char* bundle, int argc, const char* const* argv, int& i, CommandLine& line,
                      std::string& error) {
  for (const char* c = bundle + 1; *c != '\0'; ++c) {
    if (*c == 'h') {
      line.help = true;
    } else if (*c == 'v') {
      line.verbose = true;
    } else if (*c != 'f') {
      error = std::string("unknown option -") + *c;
      return false;
    } else if (c[1] != '\0') {
      line.file = c + 1;
      return true;
    } else if (++i == argc) {
      error = "-f needs a path";
      return false;
    } else {
      line.file = argv[i];
      return true;
    }
  }
  return true;
}

// Takes the option argv[i] and, for -f, its path (advancing i).
bool TakeOption(int argc, const char* const* argv, int& i, CommandLine& line, std::string& error) {
  const char* option = argv[i];
  const bool taken = option[1] == '-' ? TakeLongOption(option, argc, argv, i, line, error)
                                      : TakeShortOptions(option, argc, argv, i, line, error);
  if (!taken) return false;
  if (line.file.empty()) {
    error = "the file path is empty";
    return false;
  }
  return true;
}

bool CheckArguments(const CommandLine& line, std::string& error) {
  const size_t count = line.args.size();
  if (count < line.command->min_args || count > line.command->max_args) {
    error = std::string("wrong number of arguments for ") + line.command->name;
  } else if (line.timeout && !line.command->timed) {
    error = std::string("--timeout does not go with ") + line.command->name;
  }
  return error.empty();
}

}  // namespace

bool ParseCommandLine(int argc, const char* const* argv, CommandLine& line, std::string& error) {
  std::vector<std::string> words;
  bool options_ended = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (options_ended || arg[0] != '-' || arg[1] == '\0') {
      words.emplace_back(arg);
    } else if (strcmp(arg, "--") == 0) {
      options_ended = true;
    } else if (!TakeOption(argc, argv, i, line, error)) {
      return false;
    } else if (line.help || line.version) {
      return true;
    }
  }
  if (words.empty()) {
    error = "no command given";
    return false;
  }
  line.command = FindCommand(words[0]);
  if (line.command == nullptr) {
    error = "unknown command " + words[0];
    return false;
  }
  line.args.assign(words.begin() + 1, words.end());
  return CheckArguments(line, error);
}
