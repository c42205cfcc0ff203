#include "tools/propctl/commands.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "property/store/property_file.h"
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
    {"wait", 2, 4, RunWait},
};

// 0 when `path` opens for reading and is no directory, else why not. Never
// blocks (a FIFO is opened without waiting for a writer).
int ReadError(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat status = {};
  const bool directory = fstat(fd, &status) == 0 && S_ISDIR(status.st_mode);
  close(fd);
  return directory ? EISDIR : 0;
}

// Says on standard error why `path` cannot be read; false when it can. The
// library reads such a file as one without pairs.
bool ReportUnreadable(const std::string& path) {
  const int error = ReadError(path);
  if (error == 0) return false;
  fprintf(stderr, "propctl: %s: %s\n", path.c_str(), strerror(error));
  return true;
}

// Why the file could not be written, asked without opening it for writing
// (which would notify every watcher).
std::string WriteFailure(const std::string& path) {
  const int error = ReadError(path);
  if (error == ENOENT) return "no such file (it is never created)";
  if (error != 0) return strerror(error);
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

int RunGet(const std::string& path, const std::vector<std::string>& args) {
  const std::string& key = args[0];
  if (key.empty()) {
    fprintf(stderr, "propctl: the key is empty\n");
    return kExitUsage;
  }
  const bool unreadable = ReportUnreadable(path);
  const bool has_default = args.size() > 1;
  char value[PropertyFile::kMaxValueLength + 1];
  PropertyFile file;
  const int length = file.Get(path.c_str(), key.c_str(), value, has_default ? args[1].c_str() : nullptr);
  if (length > 0 || has_default) printf("%s\n", value);
  if (unreadable) return kExitFile;
  return length == 0 && !has_default ? kExitAbsent : kExitOk;
}

int RunSet(const std::string& path, const std::vector<std::string>& args) {
  const std::string& key = args[0];
  const std::string& value = args[1];
  PropertyFile file;
  switch (file.Store(path.c_str(), key.c_str(), value.c_str())) {
    case PropertyFile::StoreResult::kWritten:
      return kExitOk;
    case PropertyFile::StoreResult::kRefused:
      return Refused(key, value);
    case PropertyFile::StoreResult::kNotWritten:
      break;
  }
  return NotWritten(path);
}

int RunUnset(const std::string& path, const std::vector<std::string>& args) {
  const std::string& key = args[0];
  // No file can hold a key that set refuses.
  if (PropertyFile::Refusal(key.c_str(), "") != nullptr) return Refused(key, "");
  PropertyFile file;
  file.Snapshot(path.c_str());
  return file.Unset(key.c_str()) == 0 ? kExitOk : NotWritten(path);
}

int RunList(const std::string& path, const std::vector<std::string>& args) {
  // The library reads a missing file as an empty one; tell the two apart.
  if (ReportUnreadable(path)) return kExitFile;
  const std::string prefix = args.empty() ? "" : args[0];
  PropertyFile file;
  const PropertyFile::PropertyMap pairs = file.Snapshot(path.c_str());
  for (auto it = pairs.lower_bound(prefix); it != pairs.end() && it->first.compare(0, prefix.size(), prefix) == 0;
       ++it) {
    printf("%s=%s\n", it->first.c_str(), it->second.c_str());
  }
  return kExitOk;
}
