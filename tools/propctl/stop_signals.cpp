#include "tools/propctl/stop_signals.h"

#include <signal.h>

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM};

volatile sig_atomic_t gWakeFd = -1;

void OnStopSignal(int) { SignalWakeFd(gWakeFd); }

void SetAction(void (*handler)(int)) {
  struct sigaction action = {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal_number : kSignals) sigaction(signal_number, &action, nullptr);
}

}  // namespace

StopSignals::StopSignals() {
  gWakeFd = mPipe.WriteFd();
  SetAction(OnStopSignal);
}

StopSignals::~StopSignals() {
  SetAction(SIG_DFL);
  gWakeFd = -1;
}
