// Linux console internals shared with their tests.
#ifndef ARTNET_CONSOLE_CONSOLE_LINUX_H_
#define ARTNET_CONSOLE_CONSOLE_LINUX_H_

#include <string>
#include <string_view>

// The bytes that stand for `gbk_text` in the character set named `codeset`
// (as nl_langinfo(CODESET) names it). GBK and GB18030 get the bytes unchanged.
// The plain C locale ("ANSI_X3.4-1968") cannot show Chinese at all, and its
// users' terminals are UTF-8 nearly everywhere, so it gets UTF-8.
std::string TextForCodeset(std::string_view gbk_text, std::string_view codeset);

#endif  // ARTNET_CONSOLE_CONSOLE_LINUX_H_
