#include <windows.h>

#include <cstdlib>
#include <mutex>
#include <string>

#include "console/console.h"

namespace {

// One line at a time, from whichever thread writes it.
std::mutex g_console_mutex;

constexpr UINT kGbkCodePage = 936;

}  // namespace

void WriteConsoleText(std::string_view gbk_text) {
  if (gbk_text.empty()) return;
  std::lock_guard<std::mutex> lock(g_console_mutex);
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

void WriteConsoleLine(std::string_view gbk_text) {
  // Windows ends console lines with CR LF; the bytes go out as they are, so
  // nothing translates a lone LF on the way.
  std::string line(gbk_text);
  line += "\r\n";
  WriteConsoleText(line);
}

void Pause() { std::system("pause"); }

// The command processor's pause changes nothing that outlives it.
void RestoreConsole() {}
