#include "tools/propctl/commands.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "property/store/property_file.h"
#include "tools/propctl/command_line.h"
#include "tools/propctl/exit_status.h"
#include "tools/propctl/refusal.h"
#include "tools/propctl/watch.h"

namespace {

const Command kCommands[] = {
    {"get", 1, 2, RunGet},
    {"set", 2, 2, RunSet},
    {"unset", 1, 1, RunUnset},
    {"list", 0, 1, RunList},
    {"watch", 0, static_cast<size_t>(-1), RunWatch},
    {"wait", 2, 2, RunWait, true},
};

// Why the library cannot read `path`, or "" when that is not the reason
// (a file that kept changing while it was read). Looks before it opens:
// opening a FIFO or a device might block or act.
std::string ReadProblem(const std::string& path) {
  struct stat status = {};
  if (stat(path.c_str(), &status) != 0) return strerror(errno);
  if (S_ISDIR(status.st_mode)) return strerror(EISDIR);
  if (!S_ISREG(status.st_mode)) return "not a regular file";
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return strerror(errno);
  close(fd);
  return "";
}

// Says on standard error why the library could not read `path`.
void ReportUnreadable(const std::string& path) {
  const std::string problem = ReadProblem(path);
  fprintf(stderr, "propctl: %s: %s\n", path.c_str(), problem.empty() ? "could not be read" : problem.c_str());
}

// Why the file could not be written, asked without opening it for writing
// (which would notify every watcher).
std::string WriteFailure(const std::string& path) {
  if (access(path.c_str(), F_OK) != 0 && errno == ENOENT) return "no such file (it is never created)";
  const std::string problem = ReadProblem(path);
  if (!problem.empty()) return problem;
  if (faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) return strerror(errno);
  return "the file could not be rewritten";
}

int NotWritten(const std::string& path) {
  fprintf(stderr, "propctl: %s not written: %s\n", path.c_str(), WriteFailure(path).c_str());
  return kExitFile;
}

int Refused(const std::string& key, const std::string& value) {
  std::string rule = BrokenRule(key, value);
  if (rule.empty()) rule = PropertyFile::Refusal(key.c_str(), value.c_str());
  fprintf(stderr, "propctl: refused: %s\n", rule.c_str());
  return kExitRefused;
}

}  // namespace

const Command* FindCommand(const std::string& name) {
  for (const Command& command : kCommands) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

int RunGet(const CommandLine& line) {
  const std::string& key = line.args[0];
  if (key.empty()) {
    fprintf(stderr, "propctl: the key is empty\n");
    return kExitUsage;
  }
  // The library reads a file it refuses as one without pairs; tell the two
  // apart.
  PropertyFile file;
  const bool readable = file.ReadConfig(line.file);
  if (!readable) ReportUnreadable(line.file);
  const bool has_default = line.args.size() > 1;
  char value[PropertyFile::kMaxValueLength + 1];
  const int length = file.Get(line.file.c_str(), key.c_str(), value, has_default ? line.args[1].c_str() : nullptr);
  if (length > 0 || has_default) printf("%s\n", value);
  if (!readable) return kExitFile;
  return length == 0 && !has_default ? kExitAbsent : kExitOk;
}

int RunSet(const CommandLine& line) {
  const std::string& key = line.args[0];
  const std::string& value = line.args[1];
  PropertyFile file;
  switch (file.Store(line.file.c_str(), key.c_str(), value.c_str())) {
    case PropertyFile::StoreResult::kWritten:
      return kExitOk;
    case PropertyFile::StoreResult::kRefused:
      return Refused(key, value);
    case PropertyFile::StoreResult::kNotWritten:
      break;
  }
  return NotWritten(line.file);
}

int RunUnset(const CommandLine& line) {
  const std::string& key = line.args[0];
  // No file can hold a key that set refuses.
  if (PropertyFile::Refusal(key.c_str(), "") != nullptr) return Refused(key, "");
  PropertyFile file;
  file.Snapshot(line.file.c_str());
  return file.Unset(key.c_str()) == 0 ? kExitOk : NotWritten(line.file);
}

int RunList(const CommandLine& line) {
  PropertyFile file;
  // As in get: a refused file is no empty one.
  if (!file.ReadConfig(line.file)) {
    ReportUnreadable(line.file);
    return kExitFile;
  }
  const std::string prefix = line.args.empty() ? "" : line.args[0];
  const PropertyFile::PropertyMap& pairs = file.Properties();
  for (auto it = pairs.lower_bound(prefix); it != pairs.end() && it->first.compare(0, prefix.size(), prefix) == 0;
       ++it) {
    printf("%s=%s\n", it->first.c_str(), it->second.c_str());
  }
  return kExitOk;
}
