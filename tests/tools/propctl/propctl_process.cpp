#include "tests/tools/propctl/propctl_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

extern char** environ;

namespace propctl_test {
namespace {

struct Pipe {
  int read_end = -1;
  int write_end = -1;
};

Pipe MakePipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) abort();
  return {fds[0], fds[1]};
}

// Starts propctl with `args`, its standard output and error on pipes whose
// read ends go to `out` and `err`; standard output to `out_path` instead
// when one is given.
pid_t Start(const std::vector<std::string>& args, int& out, int& err, const char* out_path = nullptr) {
  std::vector<std::string> command = {PROPCTL_COMMAND};
  command.insert(command.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : command) argv.push_back(arg.data());
  argv.push_back(nullptr);

  const Pipe out_pipe = MakePipe();
  const Pipe err_pipe = MakePipe();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out_pipe.write_end, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err_pipe.write_end, STDERR_FILENO);
  if (out_path != nullptr) posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path, O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) abort();
  posix_spawn_file_actions_destroy(&actions);
  close(out_pipe.write_end);
  close(err_pipe.write_end);
  out = out_pipe.read_end;
  err = err_pipe.read_end;
  return pid;
}

int ExitStatus(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Reads what is there, waiting at most until `deadline`; false at the end
// of the stream or on time-out.
bool ReadSome(int fd, std::string& buffer, std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) return false;
  pollfd entry = {fd, POLLIN, 0};
  const int ready = poll(&entry, 1, static_cast<int>(left.count()));
  if (ready < 0) return errno == EINTR;
  if (ready == 0) return false;
  char chunk[4096];
  const ssize_t n = read(fd, chunk, sizeof(chunk));
  if (n <= 0) return false;
  buffer.append(chunk, static_cast<size_t>(n));
  return true;
}

// Reads both pipes to their end (a closed one, -1, counts as ended), so
// that a chatty child never blocks, for at most kPatience; false on
// time-out.
bool ReadToEnd(int out, int err, Result& result) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  pollfd fds[] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
  std::string* buffers[] = {&result.out, &result.err};
  int open = (out >= 0) + (err >= 0);
  while (open > 0) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    if (poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) return false;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char chunk[4096];
      const ssize_t n = read(fds[i].fd, chunk, sizeof(chunk));
      if (n > 0) {
        buffers[i]->append(chunk, static_cast<size_t>(n));
      } else {
        fds[i].fd = -1;
        --open;
      }
    }
  }
  return true;
}

}  // namespace

void ReplaceText(const std::string& path, const std::string& text) {
  const std::string scratch = path + ".new";
  const int fd = open(scratch.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) abort();
  if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) abort();
  close(fd);
  if (rename(scratch.c_str(), path.c_str()) != 0) abort();
}

std::optional<std::string> ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

Result Propctl(const std::vector<std::string>& args, const char* out_path) {
  Result result;
  int out = -1;
  int err = -1;
  const pid_t pid = Start(args, out, err, out_path);
  if (!ReadToEnd(out, err, result)) kill(pid, SIGKILL);
  close(out);
  close(err);
  result.status = ExitStatus(pid);
  return result;
}

PropctlProcess::PropctlProcess(const std::vector<std::string>& args, const char* out_path) {
  mPid = Start(args, mOut.fd, mErr.fd, out_path);
}

PropctlProcess::~PropctlProcess() {
  if (mPid > 0) {
    kill(mPid, SIGKILL);
    ExitStatus(mPid);
  }
  close(mOut.fd);
  close(mErr.fd);
}

std::optional<std::string> PropctlProcess::NextLine(Stream& stream) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  for (;;) {
    const size_t end = stream.buffer.find('\n');
    if (end != std::string::npos) {
      std::string line = stream.buffer.substr(0, end);
      stream.buffer.erase(0, end + 1);
      return line;
    }
    if (!ReadSome(stream.fd, stream.buffer, deadline)) return std::nullopt;
  }
}

bool PropctlProcess::WaitForOutLine(const std::string& line) {
  while (std::optional<std::string> next = NextLine(mOut)) {
    mOutLines.push_back(*next);
    if (*next == line) return true;
  }
  return false;
}

std::vector<std::string> PropctlProcess::OutLines() {
  if (mPid < 0) {
    while (std::optional<std::string> next = NextLine(mOut)) mOutLines.push_back(*next);
  }
  return mOutLines;
}

bool PropctlProcess::WaitForErrLine(const std::string& prefix) {
  while (std::optional<std::string> line = NextLine(mErr)) {
    if (line->rfind(prefix, 0) == 0) return true;
  }
  return false;
}

void PropctlProcess::CloseOut() {
  close(mOut.fd);
  mOut.fd = -1;
}

Result PropctlProcess::Finish() {
  Result result;
  result.out = mOut.buffer;
  result.err = mErr.buffer;
  if (!ReadToEnd(mOut.fd, mErr.fd, result)) kill(mPid, SIGKILL);
  result.status = ExitStatus(mPid);
  mPid = -1;
  return result;
}

int PropctlProcess::StopWith(int signal_number) {
  kill(mPid, signal_number);
  const int status = ExitStatus(mPid);
  mPid = -1;
  return status;
}

}  // namespace propctl_test
