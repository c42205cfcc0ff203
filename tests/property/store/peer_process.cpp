#include "tests/property/store/peer_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

extern char** environ;

namespace store_test {

PeerProcess::PeerProcess(const std::vector<std::string>& args) {
  std::vector<std::string> command = {PROPERTY_PEER_COMMAND};
  command.insert(command.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : command) argv.push_back(arg.data());
  argv.push_back(nullptr);
  int output[2];
  if (pipe2(output, O_CLOEXEC) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) mPid = pid;
  posix_spawn_file_actions_destroy(&actions);
  close(output[1]);
  mOutput = output[0];
}

PeerProcess::~PeerProcess() {
  if (mPid > 0) {
    kill(mPid, SIGKILL);
    waitpid(mPid, nullptr, 0);
  }
  if (mOutput >= 0) close(mOutput);
}

bool PeerProcess::ReadLine(std::string& line, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const size_t newline = mPending.find('\n');
    if (newline != std::string::npos) {
      line = mPending.substr(0, newline);
      mPending.erase(0, newline + 1);
      return true;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd ready = {mOutput, POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[256];
    const ssize_t n = read(mOutput, buffer, sizeof(buffer));
    if (n <= 0) return false;
    mPending.append(buffer, static_cast<size_t>(n));
  }
}

void PeerProcess::Signal(int signal) {
  if (mPid > 0) kill(mPid, signal);
}

int PeerProcess::Wait(std::chrono::milliseconds timeout) {
  if (mPid <= 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (waitpid(mPid, &status, WNOHANG) != mPid) {
    if (std::chrono::steady_clock::now() > deadline) return -1;  // the destructor kills it
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  mPid = -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

int RunPeer(const std::vector<std::string>& args) { return PeerProcess(args).Wait(); }

}  // namespace store_test
