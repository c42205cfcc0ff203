// PeerProcess: the peer program (tests/property/store/helpers) running as a
// process of its own, its standard output on a pipe. In a cross build it is
// started through the emulator.
#ifndef TESTS_PROPERTY_STORE_PEER_PROCESS_H_
#define TESTS_PROPERTY_STORE_PEER_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace store_test {

class PeerProcess {
 public:
  // Starts the peer with `args`; Started() tells whether that worked.
  explicit PeerProcess(const std::vector<std::string>& args);
  // Kills and reaps a peer that is still running.
  ~PeerProcess();
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  bool Started() const { return mPid > 0; }
  pid_t Pid() const { return mPid; }
  // Reads one line of output (without its newline); false at the end of the
  // output or when none came within `timeout`.
  bool ReadLine(std::string& line, std::chrono::milliseconds timeout = std::chrono::seconds(60));
  void Signal(int signal);
  // Waits for the peer to end: its exit status, 128 + the signal that ended
  // it, or -1 when it did not end within `timeout` (it is killed then).
  int Wait(std::chrono::milliseconds timeout = std::chrono::seconds(120));

 private:
  pid_t mPid = -1;
  int mOutput = -1;
  std::string mPending;
};

// Runs the peer with `args` to its end and returns Wait()'s result.
int RunPeer(const std::vector<std::string>& args);

}  // namespace store_test

#endif  // TESTS_PROPERTY_STORE_PEER_PROCESS_H_
