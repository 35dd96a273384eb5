// The console's platform side, below console.h: the few calls whose bodies
// differ (console-linux.cpp, console-win32.cpp). console.cpp builds the
// rest on them, once for both.
#ifndef ARTNET_CONSOLE_CONSOLE_PLATFORM_H_
#define ARTNET_CONSOLE_CONSOLE_PLATFORM_H_

#include <string>

// The platform's line end: "\r\n" on Windows, "\n" on Linux.
extern const char kConsoleLineEnd[];

// Writes GBK text to standard output, whole, however long the console
// takes: converted for a Windows console or the Linux locale, the bytes
// unchanged to a Windows file or pipe. Gives up quietly when standard
// output is gone. One thread at a time.
void ShowConsoleText(const std::string& gbk_text);

// Waits for one key press on the terminal or console standard input is;
// returns at once when it is none (a pipe, a file, nothing) or is at its
// end. Main thread.
void WaitForKeyPress();

#endif  // ARTNET_CONSOLE_CONSOLE_PLATFORM_H_
