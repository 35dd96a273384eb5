#include "console/console-linux.h"

#include <gtest/gtest.h>

#include "console/messages.h"

namespace {

TEST(Console, ConvertsForTheLocale) {
  const std::string_view gbk = MessageText(Message::InitCompleted);
  // UTF-8 locales, and the C locale, get UTF-8.
  const std::string utf8 = "\xE5\x88\x9D\xE5\xA7\x8B\xE5\x8C\x96\xE5\xAE\x8C\xE6\x88\x90\r\nInitialization completed";
  EXPECT_EQ(TextForCodeset(gbk, "UTF-8"), utf8);
  EXPECT_EQ(TextForCodeset(gbk, "ANSI_X3.4-1968"), utf8);
  // A GBK locale gets the bytes as they are.
  EXPECT_EQ(TextForCodeset(gbk, "GBK"), std::string(gbk));
  // ASCII, the TAB and the line ends pass through every conversion.
  const std::string_view winsock = MessageText(Message::WinsockLoadFailed);
  const std::string converted = TextForCodeset(winsock, "UTF-8");
  EXPECT_NE(converted.find(";\tFailed: loading ws2_32.lib exception; code = "), std::string::npos);
  EXPECT_EQ(converted.substr(0, 6), "\xE5\xA4\xB1\xE8\xB4\xA5");  // 失败
}

}  // namespace
