#include "console/pause_key.h"

namespace {

// Virtual-key codes, as winuser.h names them ("Virtual-Key Codes",
// https://learn.microsoft.com/windows/win32/inputdev/virtual-key-codes).
constexpr std::uint16_t kVkShift = 0x10;    // VK_SHIFT
constexpr std::uint16_t kVkControl = 0x11;  // VK_CONTROL
constexpr std::uint16_t kVkMenu = 0x12;     // VK_MENU, the Alt keys
constexpr std::uint16_t kVkCapital = 0x14;  // VK_CAPITAL, Caps Lock
constexpr std::uint16_t kVkLWin = 0x5B;     // VK_LWIN
constexpr std::uint16_t kVkRWin = 0x5C;     // VK_RWIN
constexpr std::uint16_t kVkNumLock = 0x90;  // VK_NUMLOCK
constexpr std::uint16_t kVkScroll = 0x91;   // VK_SCROLL
constexpr std::uint16_t kVkLShift = 0xA0;   // VK_LSHIFT, VK_RSHIFT, VK_LCONTROL,
constexpr std::uint16_t kVkRMenu = 0xA5;    // VK_RCONTROL, VK_LMENU, VK_RMENU

}  // namespace

bool KeyEndsPause(bool key_down, std::uint16_t virtual_key_code) {
  // KEY_EVENT_RECORD's bKeyDown is TRUE for a key pressed, FALSE for one
  // released (https://learn.microsoft.com/windows/console/key-event-record-str).
  if (!key_down) return false;
  switch (virtual_key_code) {
    case kVkShift:
    case kVkControl:
    case kVkMenu:
    case kVkCapital:
    case kVkLWin:
    case kVkRWin:
    case kVkNumLock:
    case kVkScroll:
      return false;
    default:
      return virtual_key_code < kVkLShift || virtual_key_code > kVkRMenu;
  }
}
