#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <thread>

#include "console/console.h"
#include "app/stop_request.h"

namespace {

sigset_t StopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  return signals;
}

}  // namespace

void InstallStopRequests() {
  // A closed standard output makes write() fail with EPIPE instead.
  signal(SIGPIPE, SIG_IGN);
  // Blocked here, the signals stay blocked in every thread started later,
  // and only the waiting thread below takes them: the bridge's stop runs as
  // ordinary code, not in a signal handler. Until it runs they wait.
  const sigset_t signals = StopSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

void ListenForStopRequests() {
  const sigset_t signals = StopSignals();
  std::thread([signals] {
    for (;;) {
      int signal_number = 0;
      if (sigwait(&signals, &signal_number) != 0) continue;
      if (!OnStopRequest()) {
        RestoreConsole();
        _exit(1);
      }
    }
  }).detach();
}

void StopCompleted() {}
