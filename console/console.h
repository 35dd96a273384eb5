// Writing to the user: message lines on standard output and the pause before
// the bridge ends on a start-up failure.
#ifndef ARTNET_CONSOLE_CONSOLE_H_
#define ARTNET_CONSOLE_CONSOLE_H_

#include <cstdint>
#include <string_view>

#include "console/messages.h"

// Write one message line to standard output as a single piece, so that lines
// from the capture thread and the main thread never mix, and flush it. Safe to
// call from any thread. Codes are as FormatMessageLine takes them.
void WriteMessage(Message message);
void WriteMessage(Message message, std::uint32_t system_error);
void WriteMessageSigned(Message message, std::int32_t socket_error);
void WriteMessage(Message message, std::uint32_t system_error, std::uint32_t offset,
                  std::uint32_t offset_high);
void WriteMessage(Message message, std::uint32_t system_error, std::string_view address);

// Write GBK text and the platform's line end ("\r\n" on Windows, "\n" on
// Linux) to standard output in one piece, as WriteConsoleText writes text.
void WriteConsoleLine(std::string_view gbk_text);

// Write GBK text to standard output in one piece. On a Windows console the
// text is shown through the console's wide-character interface, so it reads
// correctly whatever the console's code page; on Linux it is converted to the
// locale's encoding. Written to a file or pipe on Windows, or under a GBK
// locale on Linux, the GBK bytes go out unchanged.
void WriteConsoleText(std::string_view gbk_text);

// Show a "press any key" prompt and wait for one key. Returns at once when
// standard input is not a terminal or is at its end, so it never hangs a
// service or a script.
void Pause();

// Puts the console back as the bridge found it, should Pause have changed it
// (Linux: echo and line mode, off while it waits for a key). Any thread.
void RestoreConsole();

#endif  // ARTNET_CONSOLE_CONSOLE_H_
