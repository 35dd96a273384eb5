#include "console/messages.h"

#include <iterator>

namespace {

// GBK bytes. The Chinese half of each text is spelled in hex escapes; the
// English half and the punctuation are plain ASCII, and every run of spaces,
// TAB and CR LF belongs to the text. A string literal break ("" "") keeps an
// escape from swallowing a following hex digit.
//
// The array takes its size from its texts, so that a text left out (or one
// too many) fails the build below instead of leaving a message empty.
constexpr std::string_view kMessageTexts[] = {
        // 网络初始化失败.
        "\xcd\xf8\xc2\xe7\xb3\xf5\xca\xbc\xbb\xaf\xca\xa7\xb0\xdc."
        "   Network initialization failed.",
        // 未发现设备连接.
        "\xce\xb4\xb7\xa2\xcf\xd6\xc9\xe8\xb1\xb8\xc1\xac\xbd\xd3."
        "   No device connection found.",
        // 程序运行中 / 关闭窗口可以退出程序
        "\xb3\xcc\xd0\xf2\xd4\xcb\xd0\xd0\xd6\xd0\r\n"
        "When the program is running normally.\r\n"
        "\xb9\xd8\xb1\xd5\xb4\xb0\xbf\xda\xbf\xc9\xd2\xd4\xcd\xcb\xb3\xf6\xb3\xcc\xd0\xf2\r\n"
        "close the window to exit the program.",
        // 初始化完成
        "\xb3\xf5\xca\xbc\xbb\xaf\xcd\xea\xb3\xc9\r\n"
        "Initialization completed",
        // 失败: 加载ws2_32.lib失败;
        "\xca\xa7\xb0\xdc: \xbc\xd3\xd4\xd8"
        "ws2_32.lib\xca\xa7\xb0\xdc;"
        "\tFailed: loading ws2_32.lib exception; code = ",
        // 需要管理员权限启动程序.
        "\xd0\xe8\xd2\xaa\xb9\xdc\xc0\xed\xd4\xb1\xc8\xa8\xcf\xde\xc6\xf4\xb6\xaf\xb3\xcc\xd0\xf2."
        "   Requires administrator privileges to start the program.    code - ",
        // 通信错误,请重新启动程序.
        "\xcd\xa8\xd0\xc5\xb4\xed\xce\xf3,\xc7\xeb\xd6\xd8\xd0\xc2\xc6\xf4\xb6\xaf\xb3\xcc\xd0\xf2."
        "  Communication error, please restart the program.    code - ",
        // 遇到了一些问题,请重新启动此程序.
        "\xd3\xf6\xb5\xbd\xc1\xcb\xd2\xbb\xd0\xa9\xce\xca\xcc\xe2,"
        "\xc7\xeb\xd6\xd8\xd0\xc2\xc6\xf4\xb6\xaf\xb4\xcb\xb3\xcc\xd0\xf2."
        "  encountered some problems, please restart the program. code - ",
        // 串口写入失败.
        "\xb4\xae\xbf\xda\xd0\xb4\xc8\xeb\xca\xa7\xb0\xdc."
        "    Serial port write failed.   code - ",
        // 串口写入超时.
        "\xb4\xae\xbf\xda\xd0\xb4\xc8\xeb\xb3\xac\xca\xb1."
        "    Serial write timeout.   code - ",
        // 设备连接已断开,正在等待设备.
        "\xc9\xe8\xb1\xb8\xc1\xac\xbd\xd3\xd2\xd1\xb6\xcf\xbf\xaa,"
        "\xd5\xfd\xd4\xda\xb5\xc8\xb4\xfd\xc9\xe8\xb1\xb8."
        "   Device connection lost, waiting for the device.",
        // 设备已重新连接.
        "\xc9\xe8\xb1\xb8\xd2\xd1\xd6\xd8\xd0\xc2\xc1\xac\xbd\xd3."
        "   Device connected again.",
        // 请按任意键继续. The English half is the command interpreter's own
        // pause prompt, word for word, trailing space included.
        "\xc7\xeb\xb0\xb4\xc8\xce\xd2\xe2\xbc\xfc\xbc\xcc\xd0\xf8."
        "   Press any key to continue . . . ",
        // 无法在此网卡上捕获数据,已跳过此网卡.
        "\xce\xde\xb7\xa8\xd4\xda\xb4\xcb\xcd\xf8\xbf\xa8\xc9\xcf\xb2\xb6\xbb\xf1\xca\xfd\xbe\xdd,"
        "\xd2\xd1\xcc\xf8\xb9\xfd\xb4\xcb\xcd\xf8\xbf\xa8."
        "   Cannot capture on an adapter, going on without it.    code - ",
};
static_assert(std::size(kMessageTexts) == static_cast<std::size_t>(Message::kCount),
              "every message needs a text, in the order of the enum");

constexpr bool NoTextIsEmpty() {
  for (const std::string_view text : kMessageTexts) {
    if (text.empty()) return false;
  }
  return true;
}
static_assert(NoTextIsEmpty(), "every message needs a text");

std::string Begin(Message message) { return std::string(MessageText(message)); }

}  // namespace

std::string_view MessageText(Message message) {
  return kMessageTexts[static_cast<std::size_t>(message)];
}

std::string FormatMessageLine(Message message) { return Begin(message); }

std::string FormatMessageLine(Message message, std::uint32_t system_error) {
  return Begin(message) + std::to_string(system_error);
}

std::string FormatMessageLineSigned(Message message, std::int32_t socket_error) {
  return Begin(message) + std::to_string(socket_error);
}

std::string FormatMessageLine(Message message, std::uint32_t system_error,
                              std::uint32_t offset, std::uint32_t offset_high) {
  return Begin(message) + std::to_string(system_error) + ", offset - " + std::to_string(offset) +
         ", OffsetHigh - " + std::to_string(offset_high);
}

std::string FormatMessageLine(Message message, std::uint32_t system_error, std::string_view address) {
  return Begin(message) + std::to_string(system_error) + ", address - " + std::string(address);
}
