#include "console/pause_key.h"

#include <gtest/gtest.h>

namespace {

TEST(PauseKey, KeysDownEndItModifiersAndReleasesDoNot) {
  // Letters, Enter, Space, Escape, an arrow, F1: any key down ends it.
  for (const std::uint16_t key : {0x41, 0x0D, 0x20, 0x1B, 0x26, 0x70, 0x30}) {
    EXPECT_TRUE(KeyEndsPause(true, key)) << key;
    EXPECT_FALSE(KeyEndsPause(false, key)) << key << " going up";
  }
  // Shift, Ctrl, Alt (either side), the Windows keys and the locks alone
  // leave it waiting.
  for (const std::uint16_t key : {0x10, 0x11, 0x12, 0x14, 0x5B, 0x5C, 0x90, 0x91, 0xA0, 0xA1, 0xA2, 0xA3,
                                  0xA4, 0xA5}) {
    EXPECT_FALSE(KeyEndsPause(true, key)) << key;
  }
  // The codes around the modifiers' are keys like any other.
  EXPECT_TRUE(KeyEndsPause(true, 0x9F));
  EXPECT_TRUE(KeyEndsPause(true, 0xA6));  // VK_BROWSER_BACK
  EXPECT_TRUE(KeyEndsPause(true, 0x13));  // VK_PAUSE
}

}  // namespace
