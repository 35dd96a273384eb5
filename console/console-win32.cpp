#include <windows.h>

#include <string>

#include "console/console.h"
#include "console/console_platform.h"
#include "console/pause_key.h"

namespace {

constexpr UINT kGbkCodePage = 936;

}  // namespace

const char kConsoleLineEnd[] = "\r\n";

void ShowConsoleText(const std::string& gbk_text) {
  if (gbk_text.empty()) return;
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode;
  if (GetConsoleMode(out, &mode)) {
    // A real console: hand it UTF-16, so the Chinese half reads correctly
    // whatever code page the console is set to.
    const int size = static_cast<int>(gbk_text.size());
    int wide_size = MultiByteToWideChar(kGbkCodePage, 0, gbk_text.data(), size, nullptr, 0);
    if (wide_size > 0) {
      std::wstring wide(static_cast<size_t>(wide_size), L'\0');
      MultiByteToWideChar(kGbkCodePage, 0, gbk_text.data(), size, wide.data(), wide_size);
      const wchar_t* data = wide.data();
      DWORD left = static_cast<DWORD>(wide.size());
      while (left > 0) {
        DWORD written = 0;
        if (!WriteConsoleW(out, data, left, &written, nullptr) || written == 0) return;
        data += written;
        left -= written;
      }
      return;
    }
  }
  // A file or a pipe: the GBK bytes, unchanged.
  const char* data = gbk_text.data();
  DWORD left = static_cast<DWORD>(gbk_text.size());
  while (left > 0) {
    DWORD written = 0;
    if (!WriteFile(out, data, left, &written, nullptr) || written == 0) return;
    data += written;
    left -= written;
  }
}

// The key is read from the console's input buffer itself (ReadConsoleInputW,
// https://learn.microsoft.com/windows/console/readconsoleinput), never
// through a command interpreter: the CRT's system("pause") runs the program
// that %ComSpec% names ("system uses the COMSPEC and PATH environment
// variables to locate the command-interpreter file", system, _wsystem,
// https://learn.microsoft.com/cpp/c-runtime-library/reference/system-wsystem),
// and a user's environment variable must not choose a program for a process
// that runs as administrator.
void WaitForKeyPress() {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  // Not a console (a pipe, a file, or no standard input at all, as a service
  // has): nobody can press a key, so do not wait for one.
  if (in == nullptr || in == INVALID_HANDLE_VALUE || !GetConsoleMode(in, &mode)) return;
  // Keys pressed while the bridge was starting do not answer the prompt.
  FlushConsoleInputBuffer(in);
  // The input mode is left as it is. With ENABLE_PROCESSED_INPUT, the
  // console's default, "CTRL+C is processed by the system and is not placed
  // in the input buffer" (SetConsoleMode,
  // https://learn.microsoft.com/windows/console/setconsolemode): Ctrl+C,
  // like the window's closing, comes as a control signal, which at the
  // prompt no handler of the bridge's takes (app/stop_request.h), so "the
  // default handler terminates the process" (CTRL+CLOSE Signal,
  // https://learn.microsoft.com/windows/console/ctrl-close-signal), and this
  // wait with it.
  for (;;) {
    INPUT_RECORD record;
    DWORD count = 0;
    if (!ReadConsoleInputW(in, &record, 1, &count)) return;  // The console went away.
    if (count == 1 && record.EventType == KEY_EVENT &&
        KeyEndsPause(record.Event.KeyEvent.bKeyDown != FALSE, record.Event.KeyEvent.wVirtualKeyCode)) {
      return;
    }
  }
}

// Nothing of the console is changed while the bridge waits for its key.
void RestoreConsole() {}
