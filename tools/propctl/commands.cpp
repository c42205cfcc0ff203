#include "tools/propctl/commands.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "property/store/property_file.h"
#include "tools/propctl/exit_status.h"
#include "tools/propctl/watch.h"

namespace {

const Command kCommands[] = {
    {"get", 1, 2, RunGet},
    {"set", 2, 2, RunSet},
    {"list", 0, 0, RunList},
    {"watch", 0, static_cast<size_t>(-1), RunWatch},
    {"wait", 2, 4, RunWait},
};

// Why the file could not be written, asked without opening it for writing
// (which would notify every watcher).
std::string WriteFailure(const std::string& path) {
  if (faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0) return "the file could not be rewritten";
  if (errno == ENOENT) return "no such file (set does not create it)";
  return strerror(errno);
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
  const bool has_default = args.size() > 1;
  char value[PropertyFile::kMaxValueLength + 1];
  PropertyFile file;
  const int length = file.Get(path.c_str(), key.c_str(), value, has_default ? args[1].c_str() : nullptr);
  if (length == 0 && !has_default) return kExitAbsent;
  printf("%s\n", value);
  return kExitOk;
}

int RunSet(const std::string& path, const std::vector<std::string>& args) {
  const std::string& key = args[0];
  const std::string& value = args[1];
  PropertyFile file;
  switch (file.Store(path.c_str(), key.c_str(), value.c_str())) {
    case PropertyFile::StoreResult::kWritten:
      return kExitOk;
    case PropertyFile::StoreResult::kRefused: {
      const char* reason = PropertyFile::Refusal(key.c_str(), value.c_str());
      fprintf(stderr, "propctl: set refused: %s\n", reason != nullptr ? reason : "the library refused the pair");
      return kExitRefused;
    }
    case PropertyFile::StoreResult::kNotWritten:
      break;
  }
  fprintf(stderr, "propctl: %s not written: %s\n", path.c_str(), WriteFailure(path).c_str());
  return kExitFile;
}

int RunList(const std::string& path, const std::vector<std::string>&) {
  // The library reads a missing file as an empty one; tell the two apart.
  if (access(path.c_str(), R_OK) != 0) {
    fprintf(stderr, "propctl: %s: %s\n", path.c_str(), strerror(errno));
    return kExitFile;
  }
  PropertyFile file;
  for (const auto& [key, value] : file.Snapshot(path.c_str())) printf("%s=%s\n", key.c_str(), value.c_str());
  return kExitOk;
}
