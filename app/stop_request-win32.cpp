#include <windows.h>

#include "app/stop_request.h"

namespace {

// Set once the bridge has let go of its port.
HANDLE g_completed = nullptr;

// Runs on a thread the system starts for each console event.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      // Without a handler yet, the system's own handling ends the process.
      if (!OnStopRequest()) return FALSE;
      // For a closed window the process ends once this returns (or after
      // about five seconds): wait until the port is let go.
      WaitForSingleObject(g_completed, 4000);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

void InstallStopRequests() {
  // There are no signals to ignore on Windows: a write to a closed pipe
  // fails with ERROR_NO_DATA.
  g_completed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

// The console's events come on threads of their own from the start.
void ListenForStopRequests() {}

void StopCompleted() {
  if (g_completed != nullptr) SetEvent(g_completed);
}
