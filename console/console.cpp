#include "console/console.h"

#include <mutex>
#include <string>

#include "console/console_platform.h"
#include "console/line_writer.h"

namespace {

// The console's own writer once started; never ended, so that it outlives
// every thread that writes. Guarded by g_mutex, which also makes the
// writing of a caller that writes itself one piece at a time.
std::mutex g_mutex;
LineWriter* g_writer = nullptr;

void Hand(std::string text) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_writer != nullptr) {
    g_writer->Hand(std::move(text));
  } else {
    ShowConsoleText(text);
  }
}

}  // namespace

void WriteMessage(Message message) { WriteConsoleLine(FormatMessageLine(message)); }

void WriteMessage(Message message, std::uint32_t system_error) {
  WriteConsoleLine(FormatMessageLine(message, system_error));
}

void WriteMessageSigned(Message message, std::int32_t socket_error) {
  WriteConsoleLine(FormatMessageLineSigned(message, socket_error));
}

void WriteMessage(Message message, std::uint32_t system_error, std::uint32_t offset,
                  std::uint32_t offset_high) {
  WriteConsoleLine(FormatMessageLine(message, system_error, offset, offset_high));
}

void WriteMessage(Message message, std::uint32_t system_error, std::string_view address) {
  WriteConsoleLine(FormatMessageLine(message, system_error, address));
}

void WriteConsoleLine(std::string_view gbk_text) {
  // The line and its end in one piece. The bytes go out as they are, so
  // nothing translates a lone LF on the way.
  std::string line(gbk_text);
  line += kConsoleLineEnd;
  Hand(std::move(line));
}

void WriteConsoleText(std::string_view gbk_text) {
  if (!gbk_text.empty()) Hand(std::string(gbk_text));
}

void StartConsoleWriter() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_writer == nullptr) g_writer = new LineWriter(ShowConsoleText);
}

bool FlushConsole(std::chrono::milliseconds limit) {
  LineWriter* writer;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    writer = g_writer;
  }
  return writer == nullptr || writer->Flush(limit);
}

void Pause() {
  WriteConsoleText(MessageText(Message::PressAnyKey));
  WaitForKeyPress();
  WriteConsoleText(kConsoleLineEnd);
  FlushConsole();
}
