#include <windows.h>

#include <string>

#include "app/status.h"

void ShowStatus(const std::string& line) {
  // The line is ASCII; the title is wide text.
  const std::wstring title(line.begin(), line.end());
  SetConsoleTitleW(title.c_str());
}

// Windows has no service manager to tell.
void NotifyReady() {}
void NotifyStopping() {}
