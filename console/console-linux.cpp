#include <errno.h>
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <termios.h>
#include <unistd.h>

#include <mutex>
#include <string>

#include "console/console-linux.h"
#include "console/console.h"

namespace {

// One line at a time, from whichever thread writes it.
std::mutex g_console_mutex;

// The terminal's settings while Pause has changed them.
std::mutex g_terminal_mutex;
termios g_saved_terminal;
bool g_terminal_changed = false;

const std::string& LocaleCodeset() {
  static const std::string codeset = [] {
    setlocale(LC_CTYPE, "");
    const char* name = nl_langinfo(CODESET);
    return std::string(name != nullptr ? name : "");
  }();
  return codeset;
}

bool IsGbkFamily(std::string_view codeset) {
  return codeset == "GBK" || codeset == "GB18030" || codeset == "CP936";
}

std::string Convert(std::string_view text, const std::string& to_codeset) {
  iconv_t cd = iconv_open((to_codeset + "//TRANSLIT").c_str(), "GBK");
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(text);
  std::string out(text.size() * 4 + 16, '\0');
  char* in_ptr = const_cast<char*>(text.data());
  size_t in_left = text.size();
  char* out_ptr = out.data();
  size_t out_left = out.size();
  // Four bytes out per byte in is more than any target needs, so the only
  // stop before the end is a byte that is not GBK: it is kept as it is.
  while (in_left > 0) {
    if (iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left) != static_cast<size_t>(-1)) break;
    if (errno != EILSEQ && errno != EINVAL) break;
    if (out_left == 0) break;
    *out_ptr++ = *in_ptr++;
    --in_left;
    --out_left;
  }
  iconv_close(cd);
  out.resize(out.size() - out_left);
  return out;
}

void WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // Nobody to tell: standard output itself is gone.
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
}

}  // namespace

std::string TextForCodeset(std::string_view gbk_text, std::string_view codeset) {
  if (IsGbkFamily(codeset)) return std::string(gbk_text);
  if (codeset.empty() || codeset == "ANSI_X3.4-1968") return Convert(gbk_text, "UTF-8");
  return Convert(gbk_text, std::string(codeset));
}

void WriteConsoleText(std::string_view gbk_text) {
  const std::string text = TextForCodeset(gbk_text, LocaleCodeset());
  std::lock_guard<std::mutex> lock(g_console_mutex);
  WriteAll(STDOUT_FILENO, text.data(), text.size());
}

void WriteConsoleLine(std::string_view gbk_text) {
  std::string line(gbk_text);
  line += '\n';
  WriteConsoleText(line);
}

void Pause() {
  WriteConsoleText("Press any key to continue . . . ");
  termios saved;
  // Not a terminal (a pipe, a file, a service's /dev/null): nobody can press
  // a key, so do not wait for one.
  if (isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0) {
    {
      std::lock_guard<std::mutex> lock(g_terminal_mutex);
      g_saved_terminal = saved;
      g_terminal_changed = true;
    }
    termios raw = saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    char key;
    while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
    }
    RestoreConsole();
  }
  WriteConsoleText("\n");
}

void RestoreConsole() {
  std::lock_guard<std::mutex> lock(g_terminal_mutex);
  if (!g_terminal_changed) return;
  tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_terminal);
  g_terminal_changed = false;
}
