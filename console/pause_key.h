// Which key ends the pause before the bridge ends on a start-up failure.
//
// Pure, so that it is tested wherever the bridge is built: a Wine console
// on a terminal gets its keys as text and never shows what a real keyboard
// sends, such as a Shift key pressed alone.
#ifndef ARTNET_CONSOLE_PAUSE_KEY_H_
#define ARTNET_CONSOLE_PAUSE_KEY_H_

#include <cstdint>

// A Windows console's key event ends the pause when a key goes down that is
// more than a modifier or a lock: Shift, Ctrl, Alt, the Windows keys, Caps
// Lock, Num Lock and Scroll Lock alone wait on, as the command interpreter's
// pause does. A key going up never ends it: the Enter that started the
// bridge from a command prompt comes up in the bridge's console.
// `virtual_key_code` is the event's wVirtualKeyCode.
bool KeyEndsPause(bool key_down, std::uint16_t virtual_key_code);

#endif  // ARTNET_CONSOLE_PAUSE_KEY_H_
