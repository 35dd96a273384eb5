#include "app/timed_waits.h"

#include <windows.h>
#include <timeapi.h>

void KeepTimedWaitsPrecise() {
  // Since Windows 10 version 2004 this holds for this process alone, and
  // ends with it.
  timeBeginPeriod(1);

  // Windows 11 gives up a process's finer ticks while its windows are out
  // of sight unless the process opts out. SetProcessInformation exists from
  // Windows 8 and knows ProcessPowerThrottling from Windows 10 version 1709;
  // looked up at run time so that the program still starts on Windows 7,
  // where neither is needed.
  using SetProcessInformationFunction = BOOL(WINAPI*)(HANDLE, PROCESS_INFORMATION_CLASS, LPVOID, DWORD);
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (kernel == nullptr) return;
  const auto set_information = reinterpret_cast<SetProcessInformationFunction>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "SetProcessInformation")));
  if (set_information == nullptr) return;
  PROCESS_POWER_THROTTLING_STATE state = {};
  state.Version = PROCESS_POWER_THROTTLING_CURRENT_VERSION;
  state.ControlMask = PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION;
  state.StateMask = 0;  // Controlled, and off: the finer ticks stay.
  set_information(GetCurrentProcess(), ProcessPowerThrottling, &state, sizeof state);
}
