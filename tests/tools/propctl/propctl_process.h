// Runs propctl as a program of its own for the tests, and the helpers for
// the property file they share.
//
// Propctl() starts propctl, waits for it and returns what it printed and its
// exit status. PropctlProcess keeps a running propctl (watch): the test
// reads its output line by line, waiting with a generous bound, and stops
// it with a signal.
#ifndef TESTS_TOOLS_PROPCTL_PROPCTL_PROCESS_H_
#define TESTS_TOOLS_PROPCTL_PROPCTL_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/private_config_dir.h"

namespace propctl_test {

constexpr char kConfigFile[] = "/etc/j-config/mj-gralloc.cfg";

// How long a test waits for an expected line (qemu and sanitizers are slow).
constexpr std::chrono::seconds kPatience{60};

using testing_support::ConfigDirIsPrivateTmpfs;
// Replaces the file with `text` at once: written beside it, then renamed
// over it, so that a reader never sees it half written.
void ReplaceText(const std::string& path, const std::string& text);
// The file's contents; std::nullopt when it does not exist.
std::optional<std::string> ReadText(const std::string& path);

struct Result {
  int status = -1;  // exit status; -1 when it did not exit normally
  std::string out;
  std::string err;
};

// Runs propctl with `args` to its end; its standard output goes to
// `out_path` instead when one is given.
Result Propctl(const std::vector<std::string>& args, const char* out_path = nullptr);

class PropctlProcess {
 public:
  // Standard output goes to `out_path` instead of a pipe when one is given.
  explicit PropctlProcess(const std::vector<std::string>& args, const char* out_path = nullptr);
  // Kills the process if it still runs.
  ~PropctlProcess();
  PropctlProcess(const PropctlProcess&) = delete;
  PropctlProcess& operator=(const PropctlProcess&) = delete;

  // Read standard output / standard error until a line equal to `line` /
  // starting with `prefix` came; false on time-out or end of stream.
  bool WaitForOutLine(const std::string& line);
  bool WaitForErrLine(const std::string& prefix);
  // Every line of standard output read so far (after the process ended:
  // also the rest), without the newlines.
  std::vector<std::string> OutLines();

  // Sends `signal_number` and waits for the exit; the exit status, or -1
  // when the process did not exit normally.
  int StopWith(int signal_number);
  // Closes this end of the standard output pipe: the reader goes away.
  void CloseOut();
  // Waits at most kPatience for the process to end by itself (it is killed
  // after that); its status and what it printed that was not read yet.
  Result Finish();

 private:
  struct Stream {
    int fd = -1;
    std::string buffer;
  };
  std::optional<std::string> NextLine(Stream& stream);

  std::vector<std::string> mOutLines;  // read from mOut so far
  pid_t mPid = -1;
  Stream mOut;
  Stream mErr;
};

}  // namespace propctl_test

#endif  // TESTS_TOOLS_PROPCTL_PROPCTL_PROCESS_H_
