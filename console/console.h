// Writing to the user: message lines on standard output and the pause before
// the bridge ends on a start-up failure.
#ifndef ARTNET_CONSOLE_CONSOLE_H_
#define ARTNET_CONSOLE_CONSOLE_H_

#include <chrono>
#include <cstdint>
#include <string_view>

#include "console/messages.h"

// Every line and piece of text below is written whole, never mixed with
// another thread's, in the order it was written; any thread may write.
// Once StartConsoleWriter has run, the writing is done by the console's own
// thread (console/line_writer.h): the caller hands the text over and goes on
// at once, however long the console holds it. Until then the caller writes
// it itself.

// Write one message line. Codes are as FormatMessageLine takes them.
void WriteMessage(Message message);
void WriteMessage(Message message, std::uint32_t system_error);
void WriteMessageSigned(Message message, std::int32_t socket_error);
void WriteMessage(Message message, std::uint32_t system_error, std::uint32_t offset,
                  std::uint32_t offset_high);
void WriteMessage(Message message, std::uint32_t system_error, std::string_view address);

// Write GBK text and the platform's line end ("\r\n" on Windows, "\n" on
// Linux), as WriteConsoleText writes text.
void WriteConsoleLine(std::string_view gbk_text);

// Write GBK text to standard output. On a Windows console the text is shown
// through the console's wide-character interface, so it reads correctly
// whatever the console's code page; on Linux it is converted to the locale's
// encoding. Written to a file or pipe on Windows, or under a GBK locale on
// Linux, the GBK bytes go out unchanged.
void WriteConsoleText(std::string_view gbk_text);

// From now on the console's own thread writes. Main thread, once, after
// DropPrivileges (app/privileges.h): a Linux thread keeps the capabilities
// it started with. Should the thread not start, callers go on writing
// themselves.
void StartConsoleWriter();

// How long the bridge waits, before it ends, for lines still on their way
// to a console that holds them.
constexpr std::chrono::milliseconds kConsoleFlushLimit{2000};

// Waits until everything written so far has reached standard output, for
// at most `limit`; true when it has. Any thread.
bool FlushConsole(std::chrono::milliseconds limit = kConsoleFlushLimit);

// The key prompt before the bridge ends on a start-up failure: writes
// PressAnyKey (in both languages; its English half is the command
// interpreter's own prompt) and waits for a key, read from the console or
// terminal directly, then ends the prompt's line and flushes the console. No
// other program is started. Returns at once when standard input is not a
// console or terminal or is at its end, so it never hangs a service or a
// script. A stop request (Ctrl+C, a closed window) still ends the process.
// Main thread.
void Pause();

// Puts the console back as the bridge found it, should Pause have changed it
// (Linux: echo and line mode, off while it waits for a key). Any thread.
void RestoreConsole();

#endif  // ARTNET_CONSOLE_CONSOLE_H_
